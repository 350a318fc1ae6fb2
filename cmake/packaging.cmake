# The Debian package, made by CPack from the install rules (scripts/package runs it):
# kavodown_<version>_amd64.deb, installed under /usr, its dependencies read from the programs by
# dpkg-shlibdeps and its programs stripped.
set(KAVO_PACKAGE_MAINTAINER "KavoDown developers <kavodown@example.com>" CACHE STRING
    "The package's maintainer field: a name and a mail address")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavodown)
set(CPACK_PACKAGE_VENDOR "KavoDown developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KAVO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download tool for signature-pad terminals")
set(CPACK_PACKAGE_DESCRIPTION
"KavoDown loads a new firmware image into a signature-pad terminal over a
serial line: it wakes the terminal's loader, sends the file with XMODEM-1K
and CRC-16 while a status window shows the progress, and exits. A second mode
copies the firmware onto the terminal's USB FAT volume and tells the terminal
so over the serial line.
.
A batch mode runs without a window for production-line scripts, with one
exit code and one line on the standard error for each way a run can end.
A production station flashes many terminals at once, each as it is plugged
in, with a tile per slot and a results log of every unit.
The line simulator linesim and the terminal simulator termsim are included
for trying a set-up without hardware.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KAVO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The windows' Korean texts need a Hangul font; the simulators' USB mode needs FUSE and mkfs.vfat.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-nanum")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fusefat, fuse3, dosfstools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
