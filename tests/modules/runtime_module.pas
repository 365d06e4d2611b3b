{ A runtime-form module library for the tests: echoes with the stream encodings a module may
  choose, non-ASCII text and a nil result. }
library runtime_module;

{$mode delphi}
{$codepage utf8}

uses
  cthreads, cwstring, SysUtils, Classes;

function Echo(const data, config: UnicodeString): UnicodeString;
begin
  Result := '{"data":' + data + ',"config":' + config + '}';
end;

function EchoUtf8(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
    Result := TStringStream.Create(Echo(data, config), TEncoding.UTF8);
  except
    Result := nil;
  end;
end;

function EchoUtf16(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
    Result := TStringStream.Create(Echo(data, config), TEncoding.Unicode);
  except
    Result := nil;
  end;
end;

function EchoBigEndian(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
    Result := TStringStream.Create(Echo(data, config), TEncoding.BigEndianUnicode);
  except
    Result := nil;
  end;
end;

{ No encoding named: a UnicodeString gives UTF-16LE bytes. }
function EchoDefault(const data, config: UnicodeString): TStringStream; stdcall;
begin
  try
    Result := TStringStream.Create(Echo(data, config));
  except
    Result := nil;
  end;
end;

{ An AnsiString: the system code page. }
function AnsiAnswer(const data, config: UnicodeString): TStringStream; stdcall;
var
  s: AnsiString;
begin
  try
    s := '{"ansi":"plain"}';
    Result := TStringStream.Create(s);
  except
    Result := nil;
  end;
end;

function Chinese(const data, config: UnicodeString): TStringStream; stdcall;
var
  s: UnicodeString;
begin
  try
    s := '{"text":"中文打印完成","length":' + IntToStr(Length(data)) + '}';
    Result := TStringStream.Create(s, TEncoding.UTF8);
  except
    Result := nil;
  end;
end;

function NilResult(const data, config: UnicodeString): TStringStream; stdcall;
begin
  Result := nil;
end;

exports
  EchoUtf8, EchoUtf16, EchoBigEndian, EchoDefault, AnsiAnswer, Chinese, NilResult;

initialization
  IsMultiThread := True;
end.
