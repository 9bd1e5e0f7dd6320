// Resource identifiers of OrvaneCtl.ocx.
#pragma once

#define IDI_ORVANE 101     // the control's picture and the About box image (32 x 32)
#define IDI_WEB 102        // the small icon in front of the About box's web frame
#define IDB_TOOLBOX 30000  // the control's picture in a designer's toolbox (16 x 15)
#define IDR_HANDOFF 400    // OrvaneHandOff.exe, written out by HandOffUpdate (RCDATA)

#define IDD_ABOUT 200
#define IDC_ABOUT_IMAGE 201    // Image1
#define IDC_ABOUT_TITLE 202    // Label2
#define IDC_ABOUT_VERSION 203  // Label8
#define IDC_ABOUT_FRAME 204    // Frame1
#define IDC_ABOUT_WEBICON 205  // Picture1
#define IDC_ABOUT_LINK 206     // Label6
#define IDC_ABOUT_LINE1 207    // Line1
#define IDC_ABOUT_LINE2 208    // Line2

#define IDD_PAGE_GENERAL 300
#define IDD_PAGE_AUTH 301
#define IDD_PAGE_PROXY 302

// Fields of the property pages: each label just before its box, in tab order.
#define IDC_LBL_REMOTEHOST 310
#define IDC_TXT_REMOTEHOST 311
#define IDC_LBL_REMOTEPORT 312
#define IDC_TXT_REMOTEPORT 313
#define IDC_LBL_REMOTEPATH 314
#define IDC_TXT_REMOTEPATH 315
#define IDC_LBL_REMOTEFILE 316
#define IDC_TXT_REMOTEFILE 317
#define IDC_LBL_AUTHPASSWORD 320
#define IDC_TXT_AUTHPASSWORD 321
#define IDC_LBL_AUTHUSERNAME 322
#define IDC_TXT_AUTHUSERNAME 323
#define IDC_CHK_AUTHORIZATION 324
#define IDC_LBL_PROXYHOST 330
#define IDC_TXT_PROXYHOST 331
#define IDC_LBL_PROXYPORT 332
#define IDC_TXT_PROXYPORT 333
#define IDC_CHK_PROXY 334

// The library's version: the project's version in CMakeLists.txt, through a generated header.
#include "orvane_version.h"
#define ORV_FILE_VERSION \
    ORV_VERSION_MAJOR, ORV_VERSION_MINOR, ORV_VERSION_BUILD, ORV_VERSION_REVISION
#define ORV_FILE_VERSION_TEXT ORV_VERSION_TEXT
