; The Veltrane client's installer and uninstaller, in Inno Setup 6 (Unicode):
; it copies the client's files and calls VtPostInstall.dll as a setup author
; should. Compile it with the folder of the client's files:
;   ISCC.exe /DFilesDir=FOLDER VeltraneClient.iss
; FilesDir holds VtPostInstall.dll, VtClientManager.exe, veltrane.sys and
; Locale\Locale.ini.
;
; - The DLL is loaded from the setup as Setup starts: one that does not
;   load, or lacks the export, stops Setup there (exit code 1), before any
;   file is copied. ([Files] must list it for "files:" to find it.)
; - Before any file is copied (PrepareToInstall), the folder's length is
;   checked: the DLL takes at most 237 characters, and Inno Setup lets
;   longer folders through (exit code 7).
; - After the files are copied (ssPostInstall), VT_installer(1, {app}, 0).
;   Inno Setup ignores Abort there, so a DLL that answers -1 fails the
;   install through GetCustomSetupExitCode (exit code 10), with the answer
;   and the DLL's last error in Setup's log and in a message.
; - Uninstall (usUninstall, before any file is removed): VT_installer(0,
;   {app}, 0) from the installed DLL, then UnloadDLL so that the DLL can be
;   deleted with the rest. A DLL that answers -1 stops the uninstall with
;   every file in place, so that it can be run again. The DLL is declared
;   delayload, so that the uninstaller starts even when it is missing; it
;   then refuses to uninstall (InitializeUninstall), rather than remove the
;   files and leave the machine configured for a client that is gone.

#ifndef FilesDir
  #define FilesDir "files"
#endif

[Setup]
AppId={{6B2B0A7E-3C1E-4F5A-9D1B-7E2C4A9F0B12}
AppName=Veltrane Client
AppVersion=1.0
AppPublisher=Tessavar
DefaultDirName={autopf}\Veltrane
DisableProgramGroupPage=yes
PrivilegesRequired=admin
OutputBaseFilename=VeltraneClientSetup
SetupLogging=yes

[Files]
Source: "{#FilesDir}\VtPostInstall.dll"; DestDir: "{app}"
Source: "{#FilesDir}\VtClientManager.exe"; DestDir: "{app}"
Source: "{#FilesDir}\veltrane.sys"; DestDir: "{app}"
Source: "{#FilesDir}\Locale\Locale.ini"; DestDir: "{app}\Locale"

[UninstallDelete]
; Written by the DLL on every call.
Type: files; Name: "{app}\VTFILES41.LST"

[Code]
const
  MaxInstallDir = 237;
  CallFailedExitCode = 10;

// cdecl: the DLL leaves its arguments for the caller to remove. A String is
// passed as UTF-16.
function VT_installer(Install: Integer; InstallDir: String; Reserved: Integer): Integer;
  external 'VT_installer@files:VtPostInstall.dll cdecl setuponly';
function VT_uninstaller(Install: Integer; InstallDir: String; Reserved: Integer): Integer;
  external 'VT_installer@{app}\VtPostInstall.dll cdecl uninstallonly delayload';

var
  CallFailed: Boolean;

function PrepareToInstall(var NeedsRestart: Boolean): String;
begin
  Result := '';
  if Length(ExpandConstant('{app}')) > MaxInstallDir then
    Result := Format('The folder %s is longer than %d characters.', [ExpandConstant('{app}'), MaxInstallDir]);
end;

procedure CurStepChanged(CurStep: TSetupStep);
var
  Answer: Integer;
  Error: Integer;
  Message: String;
begin
  if CurStep <> ssPostInstall then Exit;
  Answer := VT_installer(1, ExpandConstant('{app}'), 0);
  Error := DLLGetLastError();
  if Answer = 0 then begin
    Log('VtPostInstall.dll: the client is configured');
    Exit;
  end;
  CallFailed := True;
  Message := Format('VtPostInstall.dll answered %d, error %d: the client is not configured.', [Answer, Error]);
  Log(Message);
  SuppressibleMsgBox(Message, mbCriticalError, MB_OK, IDOK);
end;

function GetCustomSetupExitCode(): Integer;
begin
  Result := 0;
  if CallFailed then Result := CallFailedExitCode;
end;

function InitializeUninstall(): Boolean;
begin
  Result := FileExists(ExpandConstant('{app}\VtPostInstall.dll'));
  if not Result then
    SuppressibleMsgBox(ExpandConstant('{app}\VtPostInstall.dll is missing: put it back and uninstall again.'),
      mbCriticalError, MB_OK, IDOK);
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  Answer: Integer;
  Error: Integer;
  Message: String;
begin
  if CurUninstallStep <> usUninstall then Exit;
  Answer := VT_uninstaller(0, ExpandConstant('{app}'), 0);
  Error := DLLGetLastError();
  UnloadDLL(ExpandConstant('{app}\VtPostInstall.dll'));
  if Answer = 0 then begin
    Log('VtPostInstall.dll: the client is unconfigured');
    Exit;
  end;
  Message := Format('VtPostInstall.dll answered %d, error %d: nothing was removed.', [Answer, Error]);
  Log(Message);
  SuppressibleMsgBox(Message, mbCriticalError, MB_OK, IDOK);
  RaiseException(Message);
end;
