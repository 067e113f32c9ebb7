# The Debian package: cpack -G DEB in the build folder. Its dependencies come from the shared
# libraries the programs link, plus the font the panel is drawn with and the platform plugins
# that put its window on a display.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qv7rsc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qv7rsc developers <developers@qv7rsc.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel and tools for a projector on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "A remote-control panel for a data and video projector on an RS-232C line,
with every byte on the line shown and the projector's state decoded; qv7ctl,
which runs the same commands from scripts and prints readings for monitoring;
qv7-bridge, which puts projectors on an MQTT broker for home and building
automation; and a simulated projector for trying them without hardware. Ports
may be local serial devices or serial device servers on the network.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
