; Installer of the Kestrix Assistant program folder (makensis 3, Unicode, Modern UI 2, Chinese).
;
; scripts/build-installer.sh builds it and passes:
;   VERSION        the program version (file name, uninstall entry, [APP] in conf/sys.ini)
;   OUTFILE        the installer to write
;   FILES_NSH      the generated list of the program folder's files (KestrixAssistant-files.nsh)
;   WIN64          defined for the 64-bit program: amd64 stub, folder under $PROGRAMFILES64
;   UPDATE_KEY     defined when the payload carries conf\update.pub.new (the update signing key)
;   KEY_SIG        defined when it also carries conf\update.pub.new.sig (signed with the old key)
;   TRUSTED_SITES  the default trusted.sites list ("/SITES=" on the command line wins)
;   COMPRESSOR     lzma (default) or zlib
;
; Order of work: stop the companion service and the assistant with the new KxService.exe (a fresh
; machine has none), unpack everything into a staging folder inside the install folder, then move
; the files into place one by one, each replaced file into a backup folder first; the first move
; that fails undoes all earlier ones, so the folder holds either the old or the new program, never
; a mix. Files of conf\ and data\ that exist already are the user's and stay as they are. After
; the files: versions, trusted sites and browser policies, update key, start-with-Windows flag,
; uninstall entry, shortcut, and last the service (registered and started). Every step's result
; is checked; any failure ends the installer with a non-zero exit code.

Unicode true
!ifndef VERSION | OUTFILE | FILES_NSH
  !error "VERSION, OUTFILE and FILES_NSH must be defined (scripts/build-installer.sh passes them)"
!endif
!ifdef WIN64
  Target amd64-unicode
!else
  Target x86-unicode
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh
!include "${FILES_NSH}"

!define PRODUCT_NAME "Kestrix客户端助手"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrixAssistant"
!define SERVICE_EXE "KxService.exe"
!define STAGING_NAME ".setup-staging"
!define BACKUP_NAME ".setup-backup"

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
AllowSkipFiles off
!ifndef COMPRESSOR
  !define COMPRESSOR lzma
!endif
SetCompressor /SOLID ${COMPRESSOR}
ShowInstDetails show
ShowUninstDetails show
!ifdef WIN64
  InstallDir "$PROGRAMFILES64\Kestrix 客户端助手"
!else
  InstallDir "$PROGRAMFILES\Kestrix 客户端助手"
!endif
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=2052 "CompanyName" "Kestrix"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Kestrix"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT_NAME} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"

Var KxStaging       ; unpacked payload
Var KxBackup        ; the replaced files, until the install is complete
Var KxMoves         ; journal of the moves, read backwards by the rollback
Var KxMovesHandle
Var KxCreatedRoot   ; 1 when this run created $INSTDIR
Var KxCommitted     ; 1 once every file is in place (no rollback any more)
Var KxFailText
Var KxSites
Var KxSitesGiven
Var KxExit
Var KxOutput
Var KxStopped     ; 1 once the companion service was stopped

!define MUI_ABORTWARNING
!ifdef UPDATE_KEY
  !define MUI_WELCOMEPAGE_TEXT "安装程序将把 ${PRODUCT_NAME} ${VERSION} 安装到这台电脑。$\r$\n$\r$\n安装前会停止正在运行的助手及其服务。conf 和 data 文件夹中已有的设置与数据会保留。$\r$\n$\r$\n单击“下一步”继续。"
!else
  !define MUI_WELCOMEPAGE_TEXT "安装程序将把 ${PRODUCT_NAME} ${VERSION} 安装到这台电脑。$\r$\n$\r$\n注意：此安装包没有附带更新签名公钥，助手今后下载的更新将不会经过签名校验。$\r$\n$\r$\n安装前会停止正在运行的助手及其服务。conf 和 data 文件夹中已有的设置与数据会保留。$\r$\n$\r$\n单击“下一步”继续。"
!endif
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; ---- shared pieces ---------------------------------------------------------------------------

; Ends the installer (or uninstaller) at once when the user is not an administrator: the service,
; HKLM and Program Files all need it, and a half-done install must not happen.
!macro KxRequireAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    ${KxDetail} "需要管理员权限（当前账户类型：$0）"
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT_NAME} 需要以管理员身份运行（当前账户类型：$0）。$\r$\n请右键单击安装程序，选择“以管理员身份运行”。" /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

; A line in the details and in the log file: a silent install shows no details, and the log is
; what tells an administrator why it failed ($TEMP\KestrixAssistant-Setup.log, the uninstaller's
; $TEMP\KestrixAssistant-Uninstall.log; started afresh by each run).
Var KxLogFile
!macro KxDetail text
  DetailPrint `${text}`
  Push $0
  ${If} $KxLogFile != ""
    FileOpen $0 $KxLogFile a
    FileSeek $0 0 END
    FileWriteUTF16LE $0 `${text}$\r$\n`
    FileClose $0
  ${EndIf}
  Pop $0
!macroend
!define KxDetail "!insertmacro KxDetail"
!macro KxStartLog name
  StrCpy $KxLogFile "$TEMP\${name}"
  Delete $KxLogFile
  FileOpen $0 $KxLogFile w
  FileWriteWord $0 0xFEFF
  FileClose $0
!macroend

; Runs a command line; its exit code (or "error"/"timeout") in $KxExit, what it printed in
; $KxOutput; both go to the details and the log.
!macro KxRun cmdline
  ${KxDetail} `运行：${cmdline}`
  nsExec::ExecToStack '${cmdline}'
  Pop $KxExit
  Pop $KxOutput
  ${If} $KxOutput != ""
    ${KxDetail} "$KxOutput"
  ${EndIf}
  ${KxDetail} "退出码：$KxExit"
!macroend

; Policies of the browsers are machine policies in the native registry view; on 64-bit Windows a
; 32-bit installer would otherwise write them below WOW6432Node, where browsers do not look.
!macro KxPolicyView
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend
!macro KxProgramView
  !ifdef WIN64
    SetRegView 64
  !else
    SetRegView 32
  !endif
!macroend

!addincludedir "${__FILEDIR__}"
!include KestrixPolicies.nsh

; ---- moving the payload into place -----------------------------------------------------------

; Creates "$INSTDIR\<dir>" and its twin in the backup folder; a folder this run created is
; journalled, so the rollback removes it again.
!macro KxMakeDir rel
  CreateDirectory "$KxBackup\${rel}"
  ${IfNot} ${FileExists} "$INSTDIR\${rel}\*.*"
    ClearErrors
    CreateDirectory "$INSTDIR\${rel}"
    ${If} ${Errors}
      StrCpy $KxFailText "无法创建文件夹 $INSTDIR\${rel}"
      Call KxFail
    ${EndIf}
    FileWriteUTF16LE $KxMovesHandle "D${rel}$\r$\n"
  ${EndIf}
!macroend

; Moves one file from staging into place. keep=1: a file of conf\ or data\, left alone when the
; installation has it already.
!macro KxPlaceFile rel keep
  StrCpy $R0 "${rel}"
  StrCpy $R1 "${keep}"
  Call KxPlaceFile
!macroend

Function KxPlaceFile
  ${If} ${FileExists} "$INSTDIR\$R0"
    ${If} $R1 == 1
      ${KxDetail} "保留已有文件：$R0"
      Return
    ${EndIf}
    ClearErrors
    Rename "$INSTDIR\$R0" "$KxBackup\$R0"
    ${If} ${Errors}
      StrCpy $KxFailText "无法替换 $INSTDIR\$R0（文件可能正被其他程序使用）"
      Call KxFail
    ${EndIf}
    FileWriteUTF16LE $KxMovesHandle "R$R0$\r$\n"
  ${Else}
    FileWriteUTF16LE $KxMovesHandle "N$R0$\r$\n"
  ${EndIf}
  ClearErrors
  Rename "$KxStaging\$R0" "$INSTDIR\$R0"
  ${If} ${Errors}
    StrCpy $KxFailText "无法写入 $INSTDIR\$R0"
    Call KxFail
  ${EndIf}
FunctionEnd

; Undoes the journalled moves, last first: a new file is deleted, a replaced one comes back from
; the backup, a created folder is removed (when empty). Each line was journalled before its move,
; so a move that failed half-way is undone too (deleting a file that is not there is harmless).
Function KxRollback
  ${If} $KxMoves == ""
  ${OrIf} $KxCommitted == 1
    Return
  ${EndIf}
  FileClose $KxMovesHandle
  ${KxDetail} "正在撤销已完成的文件移动……"
  Push "|end|"
  FileOpen $0 $KxMoves r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors
      FileReadUTF16LE $0 $1
      ${If} ${Errors}
        ${Break}
      ${EndIf}
      StrCpy $1 $1 -2 ; the line's CR LF
      Push $1
    ${Loop}
    FileClose $0
  ${EndIf}
  ${Do}
    Pop $1
    ${If} $1 == "|end|"
      ${Break}
    ${EndIf}
    StrCpy $2 $1 1
    StrCpy $3 $1 "" 1
    ${If} $2 == "N"
      Delete "$INSTDIR\$3"
    ${ElseIf} $2 == "R"
      ${If} ${FileExists} "$KxBackup\$3"
        Delete "$INSTDIR\$3"
        ClearErrors
        Rename "$KxBackup\$3" "$INSTDIR\$3"
        ${If} ${Errors}
          ${KxDetail} "无法还原 $INSTDIR\$3（旧文件仍在 $KxBackup\$3）"
          StrCpy $KxBackup "" ; keeps the backup folder for the administrator
        ${EndIf}
      ${EndIf}
    ${ElseIf} $2 == "D"
      RMDir "$INSTDIR\$3"
    ${EndIf}
  ${Loop}
  StrCpy $KxMoves ""
FunctionEnd

; Removes staging and backup, and the install folder when this run created it and it is empty.
Function KxCleanUp
  SetOutPath $TEMP ; the current folder must not be one being removed
  ${If} $KxStaging != ""
    RMDir /r "$KxStaging"
  ${EndIf}
  ${If} $KxBackup != ""
    RMDir /r "$KxBackup"
  ${EndIf}
  ${If} $KxCreatedRoot == 1
  ${AndIf} $KxCommitted != 1
    RMDir "$INSTDIR"
  ${EndIf}
FunctionEnd

; Ends the installation with the text in $KxFailText: undoes the moves, tidies up, exit code 1.
Function KxFail
  ${KxDetail} "安装失败：$KxFailText"
  Call KxRollback
  Call KxCleanUp
  StrCpy $KxStaging ""
  StrCpy $KxBackup ""
  ; The installation that stays (the old one after a rollback) gets its service back.
  ${If} $KxStopped == 1
  ${AndIf} ${FileExists} "$INSTDIR\${SERVICE_EXE}"
    !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /start'
  ${EndIf}
  SetErrorLevel 1
  MessageBox MB_OK|MB_ICONSTOP "安装失败：$KxFailText" /SD IDOK
  Abort
FunctionEnd

; An abort outside KxFail (a file that cannot be unpacked: NSIS offers Retry/Cancel, and a silent
; install cancels) still leaves the folder as it was.
Function .onInstFailed
  Call KxRollback
  Call KxCleanUp
  GetErrorLevel $0
  ${If} $0 == 0
    SetErrorLevel 1
  ${EndIf}
FunctionEnd

; The value of "/SITES=" on the command line in $1 ("|none|" when not given). GetOptions cannot
; be used: it ends a value at the next "/", and origins are full of them. The value ends at the
; next blank, or at the closing quote when the option was quoted ("/SITES=..." as a whole).
Function KxSitesOption
  StrCpy $1 "|none|"
  ${GetParameters} $0
  StrLen $3 $0
  StrCpy $2 0
  ${DoWhile} $2 < $3
    StrCpy $4 $0 7 $2
    ${If} $4 == "/SITES="
      StrCpy $5 " " ; the character before the option: start, blank or quote
      ${If} $2 > 0
        IntOp $6 $2 - 1
        StrCpy $5 $0 1 $6
      ${EndIf}
      ${If} $5 == " "
      ${OrIf} $5 == '"'
        IntOp $6 $2 + 7
        StrCpy $7 $6
        ${Do}
          StrCpy $4 $0 1 $7
          ${If} $4 == ""
          ${OrIf} $4 == $5
            ${Break}
          ${EndIf}
          IntOp $7 $7 + 1
        ${Loop}
        IntOp $7 $7 - $6
        StrCpy $1 $0 $7 $6
        Return
      ${EndIf}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

Function .onInit
  !insertmacro KxStartLog "KestrixAssistant-Setup.log"
  !insertmacro KxRequireAdmin
  !ifdef WIN64
    ${IfNot} ${RunningX64}
      MessageBox MB_OK|MB_ICONSTOP "此安装包用于 64 位 Windows。" /SD IDOK
      SetErrorLevel 1
      Quit
    ${EndIf}
  !endif
  !insertmacro KxProgramView
  StrCpy $KxSitesGiven 0
  Call KxSitesOption
  ${If} $1 != "|none|"
    StrCpy $KxSites $1
    StrCpy $KxSitesGiven 1
  !ifdef TRUSTED_SITES
  ${Else}
    StrCpy $KxSites "${TRUSTED_SITES}"
    StrCpy $KxSitesGiven 1
  !endif
  ${EndIf}
FunctionEnd

Section "Install"
  SetDetailsPrint both
  !insertmacro KxProgramView
  ${KxDetail} "安装 ${PRODUCT_NAME} ${VERSION} 到 $INSTDIR"

  ; The trusted sites are checked before anything changes: a mistyped list stops here.
  ${If} $KxSitesGiven == 1
    StrCpy $R0 $KxSites
    Call KxCheckSites
    ${If} $R9 != ""
      StrCpy $KxFailText "trusted.sites 中的“$R9”不是 scheme://host[:port] 形式"
      Call KxFail
    ${EndIf}
  ${EndIf}

  ; 1. Stop the companion service and the assistant with the new KxService.exe.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  !insertmacro KX_EXTRACT_SERVICE_EXE
  !insertmacro KxRun '"$PLUGINSDIR\${SERVICE_EXE}" /stop'
  ${If} $KxExit != 0
    StrCpy $KxFailText "无法停止 Kestrix Assistant Server 服务（退出码 $KxExit）"
    Call KxFail
  ${EndIf}
  StrCpy $KxStopped 1
  !insertmacro KxRun '"$PLUGINSDIR\${SERVICE_EXE}" /closeMainApp "$INSTDIR"'
  ${If} $KxExit != 0
    StrCpy $KxFailText "无法关闭正在运行的 ${PRODUCT_NAME}（退出码 $KxExit）"
    Call KxFail
  ${EndIf}

  ; 2. Unpack everything into staging, on the same volume as the install folder, so that the
  ;    moves below are renames that cannot run out of space half-way.
  StrCpy $KxCreatedRoot 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    ClearErrors
    CreateDirectory "$INSTDIR"
    ${If} ${Errors}
      StrCpy $KxFailText "无法创建文件夹 $INSTDIR"
      Call KxFail
    ${EndIf}
    StrCpy $KxCreatedRoot 1
  ${EndIf}
  StrCpy $KxStaging "$INSTDIR\${STAGING_NAME}"
  StrCpy $KxBackup "$INSTDIR\${BACKUP_NAME}"
  ; Left-overs of an installer that was killed: the journal of that run is gone, so they cannot be
  ; put back; the files in place are whole files of either version.
  RMDir /r "$KxStaging"
  RMDir /r "$KxBackup"
  ClearErrors
  CreateDirectory "$KxStaging"
  CreateDirectory "$KxBackup"
  ${If} ${Errors}
    StrCpy $KxFailText "无法在 $INSTDIR 中创建临时文件夹"
    Call KxFail
  ${EndIf}
  SetFileAttributes "$KxStaging" HIDDEN
  SetFileAttributes "$KxBackup" HIDDEN
  ${KxDetail} "解压文件……"
  SetDetailsPrint listonly
  !insertmacro KX_EXTRACT_PAYLOAD $KxStaging
  SetDetailsPrint both
  ClearErrors
  WriteUninstaller "$KxStaging\uninst.exe"
  ${If} ${Errors}
    StrCpy $KxFailText "无法写入卸载程序"
    Call KxFail
  ${EndIf}

  ; 3. Move into place, journalled.
  StrCpy $KxMoves "$PLUGINSDIR\moves.txt"
  ClearErrors
  FileOpen $KxMovesHandle $KxMoves w
  ${If} ${Errors}
    StrCpy $KxFailText "无法创建 $KxMoves"
    Call KxFail
  ${EndIf}
  !insertmacro KX_FOR_EACH_DIR KxMakeDir
  !insertmacro KX_FOR_EACH_FILE KxPlaceFile
  !insertmacro KxPlaceFile "uninst.exe" 0
  FileClose $KxMovesHandle
  StrCpy $KxCommitted 1
  Call KxCleanUp
  StrCpy $KxStaging ""
  StrCpy $KxBackup ""
  SetOutPath "$INSTDIR"
  ${KxDetail} "文件已全部就位"

  ; 4. Settings the installer owns, through the companion program.
  !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /writeSysIni APP application.current.version ${VERSION}'
  ${If} $KxExit != 0
    StrCpy $KxFailText "无法写入 conf\sys.ini（退出码 $KxExit）"
    Call KxFail
  ${EndIf}

  ${If} $KxSitesGiven == 1
    !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /writeSysIni HTTP trusted.sites "$KxSites"'
    ${If} $KxExit != 0
      StrCpy $KxFailText "无法写入 trusted.sites（退出码 $KxExit）"
      Call KxFail
    ${EndIf}
  ${Else}
    !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /readSysIni HTTP trusted.sites'
    ${If} $KxExit != 0
      StrCpy $KxFailText "无法读取 trusted.sites（退出码 $KxExit）"
      Call KxFail
    ${EndIf}
    StrCpy $R0 $KxOutput
    Call KxTrimLine
    StrCpy $KxSites $R0
    ${KxDetail} "保留已有的 trusted.sites：$KxSites"
  ${EndIf}
  Call KxWritePolicies

  ; 5. The update signing key.
  !ifdef UPDATE_KEY
    !ifdef KEY_SIG
      !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /acceptKey "$INSTDIR\conf\update.pub.new" "$INSTDIR\conf\update.pub.new.sig"'
    !else
      !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /acceptKey "$INSTDIR\conf\update.pub.new"'
    !endif
    ${If} $KxExit == 3
      ${KxDetail} "已安装的更新公钥与安装包中的不同，且安装包没有可由旧公钥验证的轮换签名：保留旧公钥"
    ${ElseIf} $KxExit != 0
      StrCpy $KxFailText "无法安装更新签名公钥（退出码 $KxExit）"
      Call KxFail
    ${EndIf}
    Delete "$INSTDIR\conf\update.pub.new"
    Delete "$INSTDIR\conf\update.pub.new.sig"
  !else
    ${KxDetail} "警告：此安装包没有更新签名公钥，更新不会经过签名校验"
  !endif

  ; 6. Start with Windows: the companion service starts the assistant at each logon while
  ;    AutoRun is 1. An existing value is the user's choice; a new installation starts with 0.
  ClearErrors
  ReadRegDWORD $0 HKCR "KestrixAssistant" "AutoRun"
  ${If} ${Errors}
    ClearErrors
    WriteRegDWORD HKCR "KestrixAssistant" "AutoRun" 0
    ${If} ${Errors}
      StrCpy $KxFailText "无法写入 HKEY_CLASSES_ROOT\KestrixAssistant"
      Call KxFail
    ${EndIf}
  ${EndIf}

  ; 7. Uninstall entry and shortcut.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kestrix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\KestrixAssistant.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninst.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninst.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    StrCpy $KxFailText "无法写入卸载信息"
    Call KxFail
  ${EndIf}
  SetShellVarContext all
  ClearErrors
  CreateShortcut "$SMPROGRAMS\${PRODUCT_NAME}.lnk" "$INSTDIR\KestrixAssistant.exe" "" "$INSTDIR\KestrixAssistant.exe" 0
  ${If} ${Errors}
    StrCpy $KxFailText "无法创建开始菜单快捷方式"
    Call KxFail
  ${EndIf}

  ; 8. The service, registered (or reconfigured) and started with everything above in place.
  !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /install'
  ${If} $KxExit != 0
    StrCpy $KxFailText "无法注册 Kestrix Assistant Server 服务（退出码 $KxExit）"
    Call KxFail
  ${EndIf}
  !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /start'
  ${If} $KxExit != 0
    StrCpy $KxFailText "无法启动 Kestrix Assistant Server 服务（退出码 $KxExit）"
    Call KxFail
  ${EndIf}
  ${KxDetail} "安装完成"
SectionEnd

; ---- uninstaller -----------------------------------------------------------------------------

!macro KxRemoveFile rel keep
  !if ${keep} == 0
    Delete "$INSTDIR\${rel}"
  !endif
!macroend
!macro KxRemoveDir rel
  RMDir "$INSTDIR\${rel}"
!macroend

Function un.onInit
  !insertmacro KxStartLog "KestrixAssistant-Uninstall.log"
  !insertmacro KxRequireAdmin
  !insertmacro KxProgramView
FunctionEnd

Section "Uninstall"
  SetDetailsPrint both
  !insertmacro KxProgramView
  ${If} ${FileExists} "$INSTDIR\${SERVICE_EXE}"
    !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /uninstall'
    ${If} $KxExit != 0
      MessageBox MB_OK|MB_ICONSTOP "无法删除 Kestrix Assistant Server 服务（退出码 $KxExit），卸载已停止。" /SD IDOK
      SetErrorLevel 1
      Abort
    ${EndIf}
    !insertmacro KxRun '"$INSTDIR\${SERVICE_EXE}" /closeMainApp "$INSTDIR"'
    ${If} $KxExit != 0
      MessageBox MB_OK|MB_ICONSTOP "无法关闭正在运行的 ${PRODUCT_NAME}（退出码 $KxExit），卸载已停止。" /SD IDOK
      SetErrorLevel 1
      Abort
    ${EndIf}
  ${EndIf}

  !insertmacro KX_FOR_EACH_FILE KxRemoveFile
  Delete "$INSTDIR\conf\update.pub.new"
  Delete "$INSTDIR\conf\update.pub.new.sig"

  StrCpy $R5 0
  MessageBox MB_YESNO|MB_ICONQUESTION "是否同时删除设置和数据（conf、data、log 文件夹）以及开机启动设置？$\r$\n选择“否”将保留它们，供以后重新安装时使用。" /SD IDNO IDNO keepSettings
    StrCpy $R5 1
    RMDir /r "$INSTDIR\conf"
    RMDir /r "$INSTDIR\data"
    RMDir /r "$INSTDIR\log"
    DeleteRegValue HKCR "KestrixAssistant" "AutoRun"
    DeleteRegKey /ifempty /ifnovalues HKCR "KestrixAssistant"
  keepSettings:
  !insertmacro KX_FOR_EACH_DIR_DEEPEST_FIRST KxRemoveDir
  ; The program's own run-time folders: downloads, pending updates and the companion's folder of
  ; installers it checked and ran.
  RMDir /r "$INSTDIR\download"
  RMDir /r "$INSTDIR\upgrade"
  RMDir /r "$INSTDIR\.companion"

  Call un.KxRemovePolicies
  !insertmacro KxPolicyView
  DeleteRegKey HKLM "${KX_OWN_KEY}"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Kestrix"
  !insertmacro KxProgramView
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT_NAME}.lnk"
  Delete "$INSTDIR\uninst.exe"
  RMDir "$INSTDIR"
SectionEnd
