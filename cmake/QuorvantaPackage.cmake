# The Debian package, made with `cpack -G DEB` from a built tree (see README, "Package").

set(CPACK_PACKAGE_NAME "quorvanta")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Quorvanta")
set(CPACK_PACKAGE_CONTACT "Quorvanta Developers <dev@quorvanta.app>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quorvanta.app/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "share this desktop with paired devices over Tailscale")
# The extended description; CPack indents it and marks the empty line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvanta Host lets a paired iPhone, iPad or computer see a display of this
desktop as live H.264 video and, when the person at the computer allows it,
control it with pointer, keyboard, scroll and text input and exchange
clipboard text. It listens only on the computer's Tailscale address, over TLS.

The package holds the host (quorvanta-host, with its tray icon and panel),
the quorvanta command that controls it, the quorvanta-client test client and,
when it was built, the quorvanta-viewer desktop application. It needs the
tailscale command of a running Tailscale client to share anything.")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Libraries come from dpkg-shlibdeps. The rest is what the programs start or load by name: the
# openssl program makes the host's identity, and Qt finds its X11 platform plugin at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openssl, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring")
# Menus, icon caches and the man database are refreshed by dpkg triggers of the packages that own
# them, and the user unit is for each user to enable: no maintainer scripts are needed.

include(CPack)
