{ A demo signing library: doSign answers a made-up signature of the signing request. }
library demo_ca;

{$mode delphi}
{$codepage utf8}

uses
  cthreads, cwstring, SysUtils, Classes;

function doSign(const request, options: UnicodeString): TStringStream; stdcall;
var
  sum: Cardinal;
  i: Integer;
begin
  try
    sum := 0;
    for i := 1 to Length(request) do
      sum := sum * 31 + Ord(request[i]);
    Result := TStringStream.Create('{"ret_code":"0","ret_msg":"签名成功","signData":"' +
      IntToHex(sum, 8) + '"}', TEncoding.UTF8);
  except
    Result := nil;
  end;
end;

exports
  doSign;

initialization
  IsMultiThread := True;
end.
