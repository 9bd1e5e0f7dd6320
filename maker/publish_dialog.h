// The publishing dialog: shows the signature state of the file being edited and edits the
// private key file's name, the package digest, the expiry and the release policy.
#pragma once

#include <windows.h>

#include <string>

#include "maker/publishing.h"

namespace orv::maker {

struct PublishDialogData {
    std::string State;    // the signature state, for people
    std::string KeyFile;  // the private key file's path (never its content)
    PublishFields Fields;
};

// Shows the dialog modally over `owner`; true when it was closed with OK (then `data` holds
// the checked fields), false when cancelled (`data` unchanged).
bool ShowPublishDialog(HINSTANCE instance, HWND owner, PublishDialogData& data);

}  // namespace orv::maker
