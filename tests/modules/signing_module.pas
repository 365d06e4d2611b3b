{ Signing libraries for the tests. Built three times:
  SIGN_ECHO    doSign answers the signing request, a line feed and the options, unchanged;
  SIGN_RAISE   doSign raises inside, catches it and returns nil;
  (neither)    doSign answers a fixed signature object. }
library signing_module;

{$mode delphi}
{$codepage utf8}

uses
  cthreads, cwstring, SysUtils, Classes;

function doSign(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
{$IFDEF SIGN_ECHO}
    Result := TStringStream.Create(data + #10 + config, TEncoding.UTF8);
{$ELSE}
{$IFDEF SIGN_RAISE}
    raise Exception.Create('no certificate');
{$ELSE}
    Result := TStringStream.Create('{"ret_code":"0","ret_msg":"签名成功","signLength":' +
      IntToStr(Length(data)) + '}', TEncoding.UTF8);
{$ENDIF}
{$ENDIF}
  except
    Result := nil;
  end;
end;

exports
  doSign;

initialization
  IsMultiThread := True;
end.
