; A real installer as the wrapper's payload in the end-to-end tests. It writes the uninstall
; entry with its own code and appends what it went through to the file VUQ_NSIS_RECORD names.
; With USUAL_PARSING it leaves the command line to NSIS's own parsing, which takes the first
; token for the program's name. Without, its .onInit is the README's example's, less the line
; that records.
Unicode true
Name "Vuq Touchscreen Driver"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES\Vuq Touchscreen"
Page directory
Page instfiles

!ifndef USUAL_PARSING
!include FileFunc.nsh
!include LogicLib.nsh
Function .onInit
  ; $CMDLINE holds the wrapper's arguments alone: the first word is no program path. Silent
  ; when a word is exactly /S; words are parted by blanks and tabs, quotes are not read.
  StrCpy $0 0
  StrCpy $1 ""
  ${Do}
    StrCpy $2 $CMDLINE 1 $0
    IntOp $0 $0 + 1
    ${If} $2 == " "
    ${OrIf} $2 == "$\t"
    ${OrIf} $2 == ""
      ${If} $1 S== "/S"
        SetSilent silent
      ${EndIf}
      StrCpy $1 ""
    ${Else}
      StrCpy $1 "$1$2"
    ${EndIf}
  ${LoopUntil} $2 == ""
  Call RecordStart ; the tests' own line
FunctionEnd
!else
!include FileFunc.nsh
!include LogicLib.nsh
Function .onInit
  Call RecordStart
FunctionEnd
!endif
!include x64.nsh

; Appends $R0, the command line and what ${GetParameters} makes of it, one line each.
Function Record
  ReadEnvStr $1 VUQ_NSIS_RECORD
  ${GetParameters} $2
  FileOpen $3 $1 a
  FileSeek $3 0 END
  FileWriteUTF16LE $3 "$R0$\ncmdline=$CMDLINE$\nparameters=$2$\n"
  FileClose $3
FunctionEnd

Function RecordStart
  StrCpy $R0 "not silent"
  IfSilent 0 +2
    StrCpy $R0 "silent"
  Call Record
FunctionEnd

Function .onGUIInit
  StrCpy $R0 "wizard shown"
  Call Record
FunctionEnd

Section
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  !define ENTRY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VuqTouchscreen"
  WriteRegStr HKLM "${ENTRY}" DisplayName "Vuq Touchscreen Driver Beta"
  WriteRegStr HKLM "${ENTRY}" DisplayVersion "5.5.3 beta 2"
  WriteRegStr HKLM "${ENTRY}" Comments "BETA build"
  WriteRegStr HKLM "${ENTRY}" Publisher "Vuq Beta Devices"
  StrCpy $R0 "installed"
  Call Record
SectionEnd
