// Resource identifiers of OrvaneCtl.ocx.
#pragma once

#define IDI_ORVANE 101     // the control's picture and the About box image (32 x 32)
#define IDI_WEB 102        // the small icon in front of the About box's web frame
#define IDB_TOOLBOX 30000  // the control's picture in a designer's toolbox (16 x 15)

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

#define ORV_FILE_VERSION 1, 0, 0, 62
#define ORV_FILE_VERSION_TEXT "1.0.0.62"
