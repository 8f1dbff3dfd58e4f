; Installer and uninstaller of the Veltrane client that configure the machine
; through VtPostInstall.dll, as a setup program must call it.
;
; Build (makensis 3, Unicode):
;   makensis -DFILES=DIR -DOUTFILE=VeltraneClientSetup.exe VeltraneClient.nsi
; DIR holds what the install folder needs before the DLL is called:
;   VtPostInstall.dll, VtClientManager.exe, veltrane.sys (the main driver, copied
;   over the system's when newer) and Locale\Locale.ini (pre-boot locale map).
; Add -DANSI_DIRECTORY to call IDLL_helper with an 8-bit directory instead of
; VT_installer with UTF-16 (IDLL_helper also records the tray application in the
; shared-files list; it cannot take a folder that is not ASCII).
;
; Silent use: VeltraneClientSetup.exe /S /D=C:\Program Files\Veltrane
; /D= must come last and must not be quoted, even with spaces in it.
; The exit code is 0 when the client is installed and 2 when it is not.

Unicode true
RequestExecutionLevel admin
Name "Veltrane Client"
!ifndef OUTFILE
  !define OUTFILE "VeltraneClientSetup.exe"
!endif
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Veltrane"

!include LogicLib.nsh

; The longest install folder the DLL accepts (VTPI_MAX_INSTALL_DIR).
!define MAX_INSTALL_DIR 237

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!ifdef ANSI_DIRECTORY
  !define POSTINSTALL_EXPORT IDLL_helper
!else
  !define POSTINSTALL_EXPORT VT_installer
!endif

; Calls the DLL in $INSTDIR for INSTALL (1 installs, 0 uninstalls) with the
; directory in $1, and aborts with a message unless it answered 0.
;
; The DLL is loaded by its full path and reached by its address: System's
; shorter 'DIR\VtPostInstall.dll::VT_installer(...)' cannot name a DLL whose
; path holds "(", ")" or "#", and "C:\Program Files (x86)" does. FreeLibrary
; unloads it afterwards, so that the uninstaller can delete it.
; ?c: both exports are cdecl; without it System calls them as stdcall, and
;     the arguments stay on the stack while the call seems to work.
; ?e: push the thread's last error, which the DLL sets with -1.
; The result is compared as text: a call System cannot make answers "error",
; which a numeric comparison would read as 0.
!macro CallPostInstall INSTALL
  System::Call 'kernel32::LoadLibraryW(w "$INSTDIR\VtPostInstall.dll") p .r3 ?e'
  Pop $2
  ${If} $3 == 0
    MessageBox MB_ICONSTOP "$INSTDIR\VtPostInstall.dll could not be loaded (error $2)." /SD IDOK
    DetailPrint "VtPostInstall.dll could not be loaded, error $2"
    Abort
  ${EndIf}
  System::Call 'kernel32::GetProcAddress(p r3, m "${POSTINSTALL_EXPORT}") p .r4'
  !ifdef ANSI_DIRECTORY
    ; IDLL_helper takes the directory first, as an 8-bit string.
    System::Call '::$4(m r1, i ${INSTALL}, i 0) i .r0 ?ce'
  !else
    ; VT_installer takes the direction first, then the directory in UTF-16.
    System::Call '::$4(i ${INSTALL}, w r1, i 0) i .r0 ?ce'
  !endif
  Pop $2
  System::Call 'kernel32::FreeLibrary(p r3)'
  ${If} $0 == "error"
    MessageBox MB_ICONSTOP "VtPostInstall.dll has no ${POSTINSTALL_EXPORT}." /SD IDOK
    DetailPrint "VtPostInstall.dll could not be called"
    Abort
  ${ElseIf} $0 != "0"
    MessageBox MB_ICONSTOP "The machine could not be configured (VtPostInstall.dll answered $0, error $2)." /SD IDOK
    DetailPrint "VtPostInstall.dll answered $0, error $2"
    Abort
  ${EndIf}
!macroend

Function .onVerifyInstDir
  StrLen $0 $INSTDIR
  ${If} $0 > ${MAX_INSTALL_DIR}
    Abort ; keeps the directory page from going on
  ${EndIf}
FunctionEnd

Section "Veltrane Client"
  ; A silent install skips the directory page: check the length before
  ; anything is copied, not after.
  StrLen $0 $INSTDIR
  ${If} $0 > ${MAX_INSTALL_DIR}
    MessageBox MB_ICONSTOP "The install folder is longer than ${MAX_INSTALL_DIR} characters." /SD IDOK
    Abort
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${FILES}\VtPostInstall.dll"
  File "${FILES}\VtClientManager.exe"
  File "${FILES}\veltrane.sys"
  SetOutPath "$INSTDIR\Locale"
  File "${FILES}\Locale\Locale.ini"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  StrCpy $1 $INSTDIR
  !insertmacro CallPostInstall 1
SectionEnd

Section "Uninstall"
  ; The DLL undoes the configuration first, while its files are still there;
  ; unloaded after the call, it can then be deleted with the rest.
  StrCpy $1 $INSTDIR
  !insertmacro CallPostInstall 0

  Delete "$INSTDIR\VtPostInstall.dll"
  Delete "$INSTDIR\VtClientManager.exe"
  Delete "$INSTDIR\veltrane.sys"
  Delete "$INSTDIR\Locale\Locale.ini"
  RMDir "$INSTDIR\Locale"
  Delete "$INSTDIR\VTFILES41.LST" ; written by the DLL
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
