# The Debian packages: cpack -G DEB in the build folder. qv7rsc is the panel; qv7rsc-tools holds
# qv7ctl, qv7-bridge and the simulated projector, with no window library, so that a headless
# server needs neither Qt's widgets nor a display's plugins and fonts; qv7rsc-network holds the
# module of network ports that both load, of their own version only. Their dependencies come
# from the shared libraries the programs link, plus, for the panel, the font it is drawn with
# and the platform plugins that put its window on a display.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qv7rsc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qv7rsc developers <developers@qv7rsc.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL panel tools network)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PANEL_PACKAGE_NAME ${QV7_PACKAGE_panel})
set(network_depends "${QV7_PACKAGE_network} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PANEL_PACKAGE_DEPENDS "fonts-ipafont-gothic, qt6-qpa-plugins, ${network_depends}")
set(CPACK_DEBIAN_PANEL_PACKAGE_SUGGESTS ${QV7_PACKAGE_tools})
set(CPACK_COMPONENT_PANEL_DESCRIPTION "control panel for a projector on a serial line
A remote-control panel for a data and video projector on an RS-232C line,
with every byte on the line shown and the projector's state decoded. Ports
may be local serial devices or serial device servers on the network.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${QV7_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${network_depends})
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tool and MQTT and PJLink bridge for a projector
qv7ctl runs the panel's commands on a projector on an RS-232C line from
scripts, and prints readings for monitoring; qv7-bridge owns the lines of
projectors and serves them on an MQTT broker for home and building automation
and as PJLink devices for AV control systems; and a simulated projector for
trying them without hardware. No window library is needed.")
set(CPACK_DEBIAN_NETWORK_PACKAGE_NAME ${QV7_PACKAGE_network})
set(CPACK_DEBIAN_NETWORK_PACKAGE_SECTION net)
set(CPACK_COMPONENT_NETWORK_DESCRIPTION "network ports for the qv7rsc panel and tools
The raw TCP and RFC 2217 transports through which the qv7rsc panel, qv7ctl
and qv7-bridge reach a projector behind a serial device server. They are
loaded at the first network port, so that programs on serial lines only
never load the network library.")
# The bridge's unit: systemd reads it again after an upgrade and running bridges restart on
# the new program; removing the package stops them.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
include(CPack)
