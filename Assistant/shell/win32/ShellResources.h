#pragma once
// Resource numbers of the Windows shell (ShellResources.rc and the dialog templates it includes).
// Plain #defines: the resource compiler reads this file too.

// The application icon (16, 32 and 48 pixels): window icons, the tray icon, the About picture.
#define IDI_KESTRIX 1

// Dialog templates and their controls: 100 and up (dialogs/Dialogs.rc).
