; Trusted sites of the installer: the list's form, and the browser machine policies that let those
; sites reach the assistant on 127.0.0.1 without the browser's "local network access" prompt
; (the same content scripts/browser-policy.sh writes on Linux).
;
; Chrome and Edge take list policies as numbered string values under the policy's key; both
; names are written: LocalNetworkAccessAllowedForUrls (versions 139 to 145) and
; LoopbackNetworkAllowedForUrls (146 on, which takes precedence). "*.example.com" becomes the
; browser pattern "[*.]example.com".
;
; Firefox takes LocalNetworkAccess.SkipDomains (host names only: scheme and port dropped, "*."
; kept). It reads machine policies from HKLM\SOFTWARE\Policies\Mozilla\Firefox as well as from a
; policies.json beside firefox.exe; the registry form is used because that file is one document
; for all of an administrator's policies (an installer rewriting it could lose or clobber them,
; and it lives wherever Firefox was installed), while a registry value is ours alone to add and
; to take away.
;
; Every value written is recorded below KX_POLICY_RECORD (per policy: number = text), and taking
; them away deletes only a value that still holds what was recorded, so values an administrator
; set stay. A site already listed under some number is left as it is and not recorded.

!define KX_POLICY_RECORD "SOFTWARE\Kestrix\KestrixAssistant\BrowserPolicies"
!define KX_OWN_KEY "SOFTWARE\Kestrix\KestrixAssistant"

; record name, policy key, kind (url: browser pattern, host: Firefox host name)
!macro KX_POLICY_KEYS CB
  !insertmacro ${CB} ChromeLocal "SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls" url
  !insertmacro ${CB} ChromeLoopback "SOFTWARE\Policies\Google\Chrome\LoopbackNetworkAllowedForUrls" url
  !insertmacro ${CB} EdgeLocal "SOFTWARE\Policies\Microsoft\Edge\LocalNetworkAccessAllowedForUrls" url
  !insertmacro ${CB} EdgeLoopback "SOFTWARE\Policies\Microsoft\Edge\LoopbackNetworkAllowedForUrls" url
  !insertmacro ${CB} FirefoxSkipDomains "SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains" host
!macroend

; Trims blanks, tabs and line ends from both ends of $R0.
Function KxTrimLine
  ${Do}
    StrCpy $1 $R0 1
    ${If} $1 == " "
    ${OrIf} $1 == "$\t"
    ${OrIf} $1 == "$\r"
    ${OrIf} $1 == "$\n"
      StrCpy $R0 $R0 "" 1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $1 $R0 1 -1
    ${If} $1 == " "
    ${OrIf} $1 == "$\t"
    ${OrIf} $1 == "$\r"
    ${OrIf} $1 == "$\n"
      StrCpy $R0 $R0 -1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
FunctionEnd

; Takes the first ";"-separated entry off $R0: the entry, trimmed and without one final "/", in
; $R1; the rest in $R0.
Function KxNextEntry
  StrCpy $1 0
  ${Do}
    StrCpy $2 $R0 1 $1
    ${If} $2 == ""
    ${OrIf} $2 == ";"
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  StrCpy $R1 $R0 $1
  IntOp $1 $1 + 1
  StrCpy $R0 $R0 "" $1
  Push $R0
  StrCpy $R0 $R1
  Call KxTrimLine
  StrCpy $R1 $R0
  Pop $R0
  StrCpy $2 $R1 1 -1
  ${If} $2 == "/"
    StrCpy $R1 $R1 -1
  ${EndIf}
FunctionEnd

; Reads the origin scheme://[*.]host[:port] in $R1: the browser pattern in $R3, the Firefox host
; name in $R4, both in lower case; $R9 is empty, or $R1 when it is not such an origin.
Function KxParseOrigin
  StrCpy $R9 $R1
  StrCpy $R3 ""
  StrCpy $R4 ""
  ; scheme: letters, digits, "+", "-", "." before "://"
  StrCpy $1 0
  ${Do}
    StrCpy $2 $R1 3 $1
    ${If} $2 == "://"
    ${OrIf} $2 == ""
      ${Break}
    ${EndIf}
    StrCpy $2 $R1 1 $1
    ${If} $2 == "/"
    ${OrIf} $2 == ":"
    ${OrIf} $2 == " "
      Return
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  ${If} $2 != "://"
  ${OrIf} $1 == 0
    Return
  ${EndIf}
  StrCpy $3 $R1 $1 ; scheme
  IntOp $1 $1 + 3
  StrCpy $4 $R1 "" $1 ; host and port
  StrCpy $5 "" ; "*." or nothing
  StrCpy $2 $4 2
  ${If} $2 == "*."
    StrCpy $5 "*."
    StrCpy $4 $4 "" 2
  ${EndIf}
  ; host: a bracketed IPv6 address, or up to ":"
  StrCpy $2 $4 1
  StrCpy $1 0
  ${If} $2 == "["
    ${Do}
      StrCpy $2 $4 1 $1
      IntOp $1 $1 + 1
      ${If} $2 == "]"
      ${OrIf} $2 == ""
        ${Break}
      ${EndIf}
    ${Loop}
    ${If} $2 != "]"
      Return
    ${EndIf}
  ${Else}
    ${Do}
      StrCpy $2 $4 1 $1
      ${If} $2 == ":"
      ${OrIf} $2 == ""
        ${Break}
      ${EndIf}
      ${If} $2 == "/"
      ${OrIf} $2 == " "
      ${OrIf} $2 == "*"
        Return
      ${EndIf}
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
  ${If} $1 == 0
    Return
  ${EndIf}
  StrCpy $6 $4 $1   ; host
  StrCpy $7 $4 "" $1 ; ":port" or nothing
  ${If} $7 != ""
    StrCpy $2 $7 1
    StrCpy $8 $7 "" 1
    ${If} $2 != ":"
    ${OrIf} $8 == ""
      Return
    ${EndIf}
    StrCpy $1 0
    ${Do}
      StrCpy $2 $8 1 $1
      ${If} $2 == ""
        ${Break}
      ${EndIf}
      ${If} $2 S< "0"
      ${OrIf} $2 S> "9"
        Return
      ${EndIf}
      IntOp $1 $1 + 1
    ${Loop}
    ${If} $1 > 5
      Return
    ${EndIf}
  ${EndIf}
  System::Call "user32::CharLowerW(w r3 r3)"
  System::Call "user32::CharLowerW(w r6 r6)"
  ${If} $5 == "*."
    StrCpy $R3 "$3://[*.]$6$7"
  ${Else}
    StrCpy $R3 "$3://$6$7"
  ${EndIf}
  StrCpy $R4 "$5$6"
  StrCpy $R9 ""
FunctionEnd

; Takes away the policy values recorded as written by an earlier install (installer and
; uninstaller both, in the 64-bit view where there is one).
!macro KxRemovePolicyRecord record key kind
  ${Do}
    ClearErrors
    EnumRegValue $6 HKLM "${KX_POLICY_RECORD}\${record}" 0
    ${If} ${Errors}
    ${OrIf} $6 == ""
      ${Break}
    ${EndIf}
    ReadRegStr $7 HKLM "${KX_POLICY_RECORD}\${record}" $6
    ClearErrors
    ReadRegStr $8 HKLM "${key}" $6
    ${IfNot} ${Errors}
    ${AndIf} $8 == $7
      DeleteRegValue HKLM "${key}" $6
      ${KxDetail} "已删除策略 HKLM\${key} 值 $6（$7）"
    ${EndIf}
    ClearErrors
    DeleteRegValue HKLM "${KX_POLICY_RECORD}\${record}" $6
    ${If} ${Errors}
      ${Break}
    ${EndIf}
  ${Loop}
  DeleteRegKey /ifempty /ifnovalues HKLM "${key}"
  DeleteRegKey HKLM "${KX_POLICY_RECORD}\${record}"
!macroend

!macro KxRemovePoliciesFunction UN
Function ${UN}KxRemovePolicies
  !insertmacro KxPolicyView
  !insertmacro KX_POLICY_KEYS KxRemovePolicyRecord
  ; Parent keys only when nothing else is in them.
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Google\Chrome"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Google"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Microsoft\Edge"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Mozilla\Firefox"
  DeleteRegKey /ifempty /ifnovalues HKLM "SOFTWARE\Policies\Mozilla"
  DeleteRegKey /ifempty /ifnovalues HKLM "${KX_POLICY_RECORD}"
FunctionEnd
!macroend

!insertmacro KxRemovePoliciesFunction ""
!insertmacro KxRemovePoliciesFunction "un."

; $R9: empty when every entry of the list $R0 is an origin, else the first entry that is not.
Function KxCheckSites
  StrCpy $R9 ""
  ${DoWhile} $R0 != ""
    Call KxNextEntry
    ${If} $R1 != ""
      Call KxParseOrigin
      ${If} $R9 != ""
        Return
      ${EndIf}
    ${EndIf}
  ${Loop}
FunctionEnd

; Adds the text $R7 to the list policy under HKLM\$R5 (record name $R6) at the first free number,
; unless some number holds it already.
Function KxAddPolicyValue
  StrCpy $5 0
  ${Do}
    ClearErrors
    EnumRegValue $6 HKLM $R5 $5
    ${If} ${Errors}
    ${OrIf} $6 == ""
      ${Break}
    ${EndIf}
    ReadRegStr $7 HKLM $R5 $6
    ${If} $7 == $R7
      ${KxDetail} "策略 HKLM\$R5 已含 $R7"
      Return
    ${EndIf}
    IntOp $5 $5 + 1
  ${Loop}
  StrCpy $5 1
  ${Do}
    ClearErrors
    ReadRegStr $7 HKLM $R5 $5
    ${If} ${Errors}
      ClearErrors
      ReadRegDWORD $7 HKLM $R5 $5
      ${If} ${Errors}
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $5 $5 + 1
  ${Loop}
  ClearErrors
  WriteRegStr HKLM $R5 $5 $R7
  WriteRegStr HKLM "${KX_POLICY_RECORD}\$R6" $5 $R7
  ${If} ${Errors}
    StrCpy $KxFailText "无法写入浏览器策略 HKLM\$R5"
    Call KxFail
  ${EndIf}
  ${KxDetail} "已写入策略 HKLM\$R5 值 $5 = $R7"
FunctionEnd

!macro KxAddPolicyFor record key kind
  StrCpy $R5 "${key}"
  StrCpy $R6 "${record}"
  !if ${kind} == url
    StrCpy $R7 $R3
  !else
    StrCpy $R7 $R4
  !endif
  Call KxAddPolicyValue
!macroend

; Replaces what an earlier install wrote with the policies for $KxSites. An empty list writes no
; policy: letting every site reach the local network is not what an administrator means by
; leaving the list empty. An entry that is not an origin (possible only in a kept conf\sys.ini;
; a given list was checked at the start) is reported and skipped, as the service skips it.
Function KxWritePolicies
  Call KxRemovePolicies
  !insertmacro KxPolicyView
  StrCpy $R0 $KxSites
  ${If} $R0 == ""
    ${KxDetail} "trusted.sites 为空：不写入浏览器策略"
  ${EndIf}
  ${DoWhile} $R0 != ""
    Call KxNextEntry
    ${If} $R1 == ""
      ${Continue}
    ${EndIf}
    Call KxParseOrigin
    ${If} $R9 != ""
      ${KxDetail} "跳过不是 scheme://host[:port] 形式的条目：$R9"
      ${Continue}
    ${EndIf}
    !insertmacro KX_POLICY_KEYS KxAddPolicyFor
  ${Loop}
  !insertmacro KxProgramView
FunctionEnd
