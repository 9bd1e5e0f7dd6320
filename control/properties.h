// The control's ten connection properties with their defaults, the RemotePath rule, and the
// names under which containers save them.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <string>

namespace orv {

struct ConnectionProperties {
    std::string RemoteHost = "http://";
    int32_t RemotePort = 80;
    std::string RemotePath = "/";
    std::string RemoteFile = "update.orv";
    std::string ProxyHost = "proxy.";
    int32_t ProxyPort = 8080;
    bool Proxy = false;
    std::string AuthPassword;
    std::string AuthUsername;
    bool Authorization = false;
};

// RemotePath as a put stores it: "" -> "/", then a leading and a trailing "/" are added
// where missing.
std::string NormaliseRemotePath(std::string path);

// Dispatch ids of the interface members.
enum DispId : DISPID {
    kDispAbout = -552,
    kDispCancelUpdate = 0x6003000C,
    kDispRemoteHost = 0x6803000B,
    kDispRemotePort = 0x6803000A,
    kDispRemotePath = 0x68030009,
    kDispRemoteFile = 0x68030008,
    kDispCheckUpdate = 0x60030016,
    kDispReceiveUpdate = 0x60030017,
    kDispRunUpdate = 0x6003001B,
    kDispProxyHost = 0x68030007,
    kDispProxyPort = 0x68030006,
    kDispProxy = 0x68030005,
    kDispGetFileVersion = 0x6003001C,
    kDispCompareVersion = 0x6003001D,
    kDispAuthPassword = 0x68030004,
    kDispAuthUsername = 0x68030003,
    kDispAuthorization = 0x68030002,
    kDispGoProductPage = 0x6003001E,
    kDispUpdateState = 0x68030001,
    kDispUpdateInformation = 0x68030000,
};

// Event dispatch ids.
enum EventId : DISPID {
    kEventUpdateReceived = 1,
    kEventReceivingUpdate = 2,
    kEventConnectionError = 3,
    kEventHttpStatus = 4,
    kEventInfoReceived = 5,
};

}  // namespace orv
