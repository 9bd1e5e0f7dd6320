// Resource and control identifiers of OrvaneMaker. Plain #defines only: read by the resource
// compiler, the program and the GUI tests that drive the program through these ids.
#pragma once

// Version of OrvaneMaker.exe (its version resource; the About box shows it).
#define ORV_MAKER_VERSION_MAJOR 1
#define ORV_MAKER_VERSION_MINOR 0
#define ORV_MAKER_VERSION_BUILD 0
#define ORV_MAKER_VERSION_REVISION 19
#define ORV_MAKER_VERSION_TEXT "1.0.0.19"

// Icons, menus, accelerators, dialogs, strings.
#define IDI_APP 1
#define IDI_WEB 2
#define IDR_MAINMENU 100
#define IDR_ACCELERATORS 101
#define IDD_FORM1 200
#define IDD_FORM2 201
#define IDS_WEBSITE 300

// Form1: the controls, in tab order.
#define IDC_TEXT1 1001
#define IDC_TEXT2 1002
#define IDC_TEXT3 1003
#define IDC_TEXT4 1004
#define IDC_TEXT5 1005
#define IDC_TEXT6 1006
#define IDC_TEXT7 1007
#define IDC_COMMAND1 1008
#define IDC_COMBO1 1009
#define IDC_COMBO2 1010
#define IDC_COMBO3 1011
#define IDC_TEXT8 1012
// Form1: frame, labels and picture.
#define IDC_FRAME1 1020
#define IDC_LBL_NAME 1021
#define IDC_LBL_VERSION 1022
#define IDC_LBL_COMMENTS 1023
#define IDC_LBL_PACKAGE 1024
#define IDC_LBL_DATE 1025
#define IDC_LBL_SIZE 1026
#define IDC_LBL_BYTES 1027
#define IDC_LBL_MEMBEROF 1028
#define IDC_LBL_CONTROL 1029
#define IDC_PICTURE 1030

// Form1 menu commands.
#define IDM_NEW 40001
#define IDM_OPEN 40002
#define IDM_SAVE 40003
#define IDM_SAVEAS 40004
#define IDM_EXIT 40005
#define IDM_CUT 40011
#define IDM_COPY 40012
#define IDM_PASTE 40013
#define IDM_CONTENTS 40021
#define IDM_ABOUT 40022

// Form2 (About box).
#define IDC_IMAGE1 2001
#define IDC_LABEL1 2002
#define IDC_LABEL2 2003
#define IDC_LABEL3 2004
#define IDC_LABEL9 2005
#define IDC_FRAME_WEB 2006
#define IDC_LABEL6 2007
#define IDC_PICTURE1 2008
#define IDC_LINE1 2009
#define IDC_LINE2 2010

// Window class of Form1 (a dialog of its own class, so it is not mistaken for a message box).
#define ORV_FORM1_CLASS "OrvaneMakerForm1"
