; A real self-extracting installer, made with Debian's makensis, that stands in for a
; store's product installer in the end-to-end tests and the demo. Like the installers
; stores ship, it carries its files inside its own file and opens that file, sharing
; read only, to unpack them: the way the downloader holds the installer while it runs
; must let it do that.
;
; 64-bit (amd64-unicode): the Wine the tests run under runs no 32-bit programs.
;
; makensis -DOUTFILE=setup.exe -DNAME="Quarry Quest" -DPAYLOAD=dir -DINSTALL_DIR=path
;          [-DSILENT] [-DBESIDE=folder] installer.nsi
;   PAYLOAD      a folder on the build machine whose files the installer carries
;   INSTALL_DIR  where it puts them (may use NSIS's own $PROGRAMFILES64 and the like)
;   SILENT       no window at all: the tests' installer
;   BESIDE       a folder beside the installer (downloaded with it) copied in as well,
;                as large products ship their data next to a small installer

!ifndef OUTFILE | NAME | PAYLOAD | INSTALL_DIR
  !error "OUTFILE, NAME, PAYLOAD and INSTALL_DIR must be defined"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "${INSTALL_DIR}"
ShowInstDetails show
BrandingText "${NAME}"

!ifdef SILENT
  SilentInstall silent
!else
  Page directory
  Page instfiles
!endif

Section
  SetOutPath "$INSTDIR"
  File /r "${PAYLOAD}/*"
!ifdef BESIDE
  CopyFiles /SILENT "$EXEDIR\${BESIDE}" "$INSTDIR"
!endif
SectionEnd
