#pragma once
// Resource numbers of the Windows shell (ShellResources.rc and the dialog templates it includes).
// Plain #defines: the resource compiler reads this file too.

// The application icon (16, 32 and 48 pixels): window icons, the tray icon, the About picture.
#define IDI_KESTRIX 1

// Dialog templates and their controls: 100 and up (dialogs/Dialogs.rc).
#define IDD_PRINTSET 100
#define IDD_SYSSET 101
#define IDD_ABOUT 102

// Both buttons' ids: "确定" is IDOK (the default button); "取消" has an id of its own, because
// IDCANCEL is what Escape and the close box send, and "取消" asks before it closes.
#define IDC_BTNCLOSE 110

// TfrmPrintSet
#define IDC_GRPSET 111
#define IDC_LBLBILLCODE 112
#define IDC_CBBBILLCODE 113
#define IDC_LBL11 114
#define IDC_LBLMODULENAME 115
#define IDC_GRPPRINTER 116
#define IDC_LBLPRINTER 117
#define IDC_CBBPRINTER 118
#define IDC_LBLPAPER 119
#define IDC_CBBPAPER 120
#define IDC_LBLDIRECTION 121
#define IDC_CBBDIRECTION 122
#define IDC_GRPMARGIN 123
#define IDC_LBLUPMARGIN 124
#define IDC_EDTUPMARGIN 125
#define IDC_LBLDOWNMARGIN 126
#define IDC_EDTDOWNMARGIN 127
#define IDC_LBLLEFTMARGIN 128
#define IDC_EDTLEFTMARGIN 129
#define IDC_LBLRIGHTMARGIN 130
#define IDC_EDTRIGHTMARGIN 131
#define IDC_GRPOFFSET 132
#define IDC_LBLOFFSETX 133
#define IDC_EDTOFFSETX 134
#define IDC_LBLOFFSETY 135
#define IDC_EDTOFFSETY 136

// TfrmSysSet (its group box is IDC_GRPSET too)
#define IDC_LBLSERVERIP 140
#define IDC_LBLIP 141
#define IDC_LBLSERVERPORT 142
#define IDC_LBLPORT 143
#define IDC_CHKAUTORUN 144
#define IDC_LBLINTERVAL 145
#define IDC_EDTINTERVAL 146
#define IDC_LBLMINUTE 147
#define IDC_LBLHINT 148

// TfrmAbout (its button "确定" is IDOK)
#define IDC_IMGICON 160
#define IDC_LBLVER 161
#define IDC_LBLDLL 162
#define IDC_LSTDLLVER 163
#define IDC_LBLCOMPANY 164
#define IDC_LBLCOPYRIGHT 165
