{ A demo module in the runtime form (Free Pascal, Delphi mode): answers with the texts it got. }
library demo_pd;

{$mode delphi}
{$codepage utf8}

uses
  cthreads, { first: calls arrive on threads the runtime did not create }
  cwstring, { conversions of non-Latin text }
  SysUtils, Classes;

{ data and config are JSON object texts; the answer is a JSON object text. The caller reads the
  returned stream and never frees it. No exception may leave the function. }
function Describe(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
    Result := TStringStream.Create('{"ret_code":"0","ret_msg":"处理成功","data":' + data +
      ',"config":' + config + '}', TEncoding.UTF8);
  except
    on E: Exception do
      Result := TStringStream.Create('{"ret_code":"1","ret_msg":"处理失败"}', TEncoding.UTF8);
  end;
end;

exports
  Describe;

initialization
  IsMultiThread := True;
end.
