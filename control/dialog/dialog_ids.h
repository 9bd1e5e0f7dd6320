// Resource identifiers of the update dialog: its texts (English and German string tables) and
// the ids of its controls.
#pragma once

#define IDS_UD_UPDATE 1100
#define IDS_UD_TITLE 1101
#define IDS_UD_CHECKING 1102
#define IDS_UD_OFFER 1103
#define IDS_UD_VERSIONS 1104
#define IDS_UD_UNKNOWN 1105
#define IDS_UD_NOTES 1106
#define IDS_UD_INSTALL 1107
#define IDS_UD_REMIND 1108
#define IDS_UD_SKIP 1109
#define IDS_UD_DOWNLOADING 1110
#define IDS_UD_PROGRESS 1111
#define IDS_UD_TIMELEFT 1112
#define IDS_UD_CANCEL 1113
#define IDS_UD_NEWEST 1114
#define IDS_UD_INSTALLED 1115
#define IDS_UD_FAILED 1116
#define IDS_UD_RETRY 1117
#define IDS_UD_CLOSE 1118
#define IDS_UD_HTTP 1119
#define IDS_UD_UNREADABLE 1120
#define IDS_UD_NOSTART 1121
#define IDS_UD_REFUSED 1122
#define IDS_UD_NOTINSTALLED 1123
#define IDS_UD_DECLINED 1124
#define IDS_UD_NOHANDOFF 1125
// Failures in the user's words: a reply that is no update information, a server not reached,
// an update whose origin could not be confirmed.
#define IDS_UD_NOTINFO 1133
#define IDS_UD_UNREACHABLE 1134
#define IDS_UD_UNTRUSTED 1135

#define IDC_UD_HEADLINE 1200
#define IDC_UD_DETAIL 1201
#define IDC_UD_NOTESLABEL 1202
#define IDC_UD_NOTES 1203
#define IDC_UD_PROGRESS 1204
#define IDC_UD_SKIP 1205
#define IDC_UD_RETRY 1206

// The release policy's texts: a critical offer, and a version the installed one is too old for.
#define IDS_UD_CRITICAL 1130
#define IDS_UD_TOOOLD 1131
#define IDS_UD_FIRST 1132
