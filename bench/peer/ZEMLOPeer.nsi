; The peer the updater is measured against: the same safe update, written as an
; NSIS author would write it. It finds the editor as the updater does (the
; association's open command, cut at its quotes or before " "%1"", the path kept
; only where it ends in \ZEMLO.exe and something is there; else Program Files),
; reads the whole executable and checks it (SHA-256 through the system's crypto
; provider, against the earlier release's), asks, then for the script archive and
; then the executable: extracts the new file to "<file>.zemlo-new" beside it,
; flushes it to disk, moves it over the file with replace and write-through, and
; removes it if the move fails; stamps both files 2008-01-25 00:00 local time, and
; says it is done, in the same boxes the updater shows.
;
;   makensis -INPUTCHARSET UTF8 -DRELEASE_EXE=F -DRELEASE_SCRIPTS=F
;            -DOUTDATED_SHA256=HEX -DOUTFILE=F bench/peer/ZEMLOPeer.nsi
Unicode true
SilentInstall silent
RequestExecutionLevel user
SetCompress off        ; the updater carries its images as they are
CRCCheck on            ; and checks them before it asks
SetOverwrite try       ; no system dialog: a refused write is this script's to report
Name "ZEMLO Updater"
OutFile "${OUTFILE}"

!include LogicLib.nsh
!include FileFunc.nsh

!define CAPTION "ZEMLO Updater"
!define ASK "ゼムロ のアップデートを実行しますか？"
!define DONE "アップデートが終了しました。"
!define NOT_INSTALLED "ゼムロ がインストールされていません。"
!define NOT_OUTDATED "このバージョンのゼムロはアップデートできません。"
!define WRITE_FAILED "ファイルの書き込みに失敗しました。"
!define GENERIC_READ 0x80000000
!define GENERIC_WRITE 0x40000000
!define OPEN_EXISTING 3
!define INVALID_HANDLE -1
!define MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH 9

Var Exe
Var Scripts

; The same call the updater makes, so that both are timed by it in a trace.
!macro Box TEXT FLAGS
  System::Call 'user32::MessageBoxW(p 0, w "${TEXT}", w "${CAPTION}", i ${FLAGS}) i .r0'
!macroend

; $0 in: an open command; out: the executable's path cut from it, or "".
Function CutCommand
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $2 1
    ${Do}
      StrCpy $1 $0 1 $2
      ${IfThen} $1 == "" ${|} StrCpy $0 "" ${|}
      ${IfThen} $1 == "" ${|} Return ${|}
      ${IfThen} $1 == '"' ${|} ${ExitDo} ${|}
      IntOp $2 $2 + 1
    ${Loop}
    IntOp $2 $2 - 1
    StrCpy $0 $0 $2 1
    Return
  ${EndIf}
  StrCpy $2 0
  ${Do}
    StrCpy $1 $0 5 $2
    ${IfThen} $1 == "" ${|} StrCpy $0 "" ${|}
    ${IfThen} $1 == "" ${|} Return ${|}
    ${IfThen} $1 == ' "%1"' ${|} ${ExitDo} ${|}
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $0 $0 $2
FunctionEnd

; $Exe: the editor's executable, or "" when there is none.
Function LocateEditor
  ReadRegStr $0 HKCR "ZEMLO.Project\shell\open\command" ""
  Call CutCommand
  StrCpy $1 $0 "" -10
  ${If} $1 == "\ZEMLO.exe"
  ${AndIf} ${FileExists} $0
    StrCpy $Exe $0
    Return
  ${EndIf}
  StrCpy $Exe "$PROGRAMFILES\Kestramoor\ZEMLO\ZEMLO.exe"
  ${IfNot} ${FileExists} $Exe
    StrCpy $Exe ""
  ${EndIf}
FunctionEnd

; $0: the SHA-256 of the file $R0 names, in lower-case hex, or "" when it cannot be read.
Function Sha256OfFile
  StrCpy $0 ""
  System::Call 'kernel32::CreateFileW(w R0, i ${GENERIC_READ}, i 1, p 0, i ${OPEN_EXISTING}, i 0x80, p 0) p .r1'
  ${If} $1 = ${INVALID_HANDLE}
    Return
  ${EndIf}
  System::Alloc 65536
  Pop $2
  ; PROV_RSA_AES, CRYPT_VERIFYCONTEXT; CALG_SHA_256
  System::Call 'advapi32::CryptAcquireContextW(*p .r3, p 0, p 0, i 24, i 0xF0000000) i .r4'
  System::Call 'advapi32::CryptCreateHash(p r3, i 0x800C, p 0, i 0, *p .r5) i .r4'
  ${Do}
    System::Call 'kernel32::ReadFile(p r1, p r2, i 65536, *i .r6, p 0) i .r4'
    ${If} $4 = 0
      StrCpy $6 -1
      ${ExitDo}
    ${EndIf}
    ${IfThen} $6 = 0 ${|} ${ExitDo} ${|}
    System::Call 'advapi32::CryptHashData(p r5, p r2, i r6, i 0) i .r4'
  ${Loop}
  System::Call 'kernel32::CloseHandle(p r1)'
  ${If} $6 = 0
    System::Call 'advapi32::CryptGetHashParam(p r5, i 2, p r2, *i 32, i 0) i .r4'
    StrCpy $7 0
    ${Do}
      IntOp $8 $2 + $7
      System::Call '*$8(&i1 .r9)'
      IntOp $9 $9 & 0xFF
      IntFmt $9 "%02x" $9
      StrCpy $0 "$0$9"
      IntOp $7 $7 + 1
    ${LoopUntil} $7 = 32
  ${EndIf}
  System::Call 'advapi32::CryptDestroyHash(p r5)'
  System::Call 'advapi32::CryptReleaseContext(p r3, i 0)'
  System::Free $2
FunctionEnd

; $R0: the file whose new bytes wait at $R1, extracted and closed. Flushes them
; to disk and moves them over $R0; $0 nonzero when they are in place, the
; temporary file removed otherwise.
Function FlushAndMove
  System::Call 'kernel32::CreateFileW(w R1, i ${GENERIC_WRITE}, i 0, p 0, i ${OPEN_EXISTING}, i 0x80, p 0) p .r1'
  StrCpy $0 0
  ${If} $1 <> ${INVALID_HANDLE}
    System::Call 'kernel32::FlushFileBuffers(p r1) i .r0'
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
  ${If} $0 <> 0
    System::Call 'kernel32::MoveFileExW(w R1, w R0, i ${MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH}) i .r0'
  ${EndIf}
  ${If} $0 = 0
    Delete $R1
  ${EndIf}
FunctionEnd

; Extracts SOURCE, as the peer carries it, next to the file $R0 names, and puts it
; in that file's place.
!macro Replace SOURCE
  StrCpy $R1 "$R0.zemlo-new"
  ClearErrors
  File "/oname=$R1" "${SOURCE}"
  ${If} ${Errors}
    Delete $R1
    !insertmacro Box "${WRITE_FAILED}" 0x10
    Quit
  ${EndIf}
  Call FlushAndMove
  ${If} $0 = 0
    !insertmacro Box "${WRITE_FAILED}" 0x10
    Quit
  ${EndIf}
!macroend

; Stamps the file $R0 names with the local time $R2 (a FILETIME, as a number).
Function Stamp
  System::Call 'kernel32::CreateFileW(w R0, i ${GENERIC_WRITE}, i 1, p 0, i ${OPEN_EXISTING}, i 0x80, p 0) p .r1'
  ${If} $1 <> ${INVALID_HANDLE}
    System::Call 'kernel32::SetFileTime(p r1, *l R2, *l R2, *l R2) i .r0'
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
FunctionEnd

Section
  Call LocateEditor
  ${If} $Exe == ""
    !insertmacro Box "${NOT_INSTALLED}" 0x30
    Quit
  ${EndIf}
  ${GetParent} $Exe $0
  StrCpy $Scripts "$0\System\Data\Scripts.zmdata"
  ${IfNot} ${FileExists} $Scripts
    !insertmacro Box "${NOT_INSTALLED}" 0x30
    Quit
  ${EndIf}
  StrCpy $R0 $Exe
  Call Sha256OfFile
  ${If} $0 != "${OUTDATED_SHA256}"
    !insertmacro Box "${NOT_OUTDATED}" 0x30
    Quit
  ${EndIf}

  !insertmacro Box "${ASK}" 0x24
  ${If} $0 <> 6
    Quit
  ${EndIf}

  StrCpy $R0 $Scripts
  !insertmacro Replace "${RELEASE_SCRIPTS}"
  StrCpy $R0 $Exe
  !insertmacro Replace "${RELEASE_EXE}"

  System::Call '*(&i2 2008, &i2 1, &i2 0, &i2 25, &i2 0, &i2 0, &i2 0, &i2 0) p .r2'
  System::Call 'kernel32::SystemTimeToFileTime(p r2, *l .r3)'
  System::Call 'kernel32::LocalFileTimeToFileTime(*l r3, *l .R2)'
  System::Free $2
  StrCpy $R0 $Scripts
  Call Stamp
  StrCpy $R0 $Exe
  Call Stamp

  !insertmacro Box "${DONE}" 0
SectionEnd
