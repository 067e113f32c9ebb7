# The Windows release, made by cpack in the build folder: the panel and qv7ctl with everything
# they load, as a zip that runs where it is unpacked and as an installer. Qt stays shared, so
# that users may replace its DLLs.

set(QV7_ICON ${PROJECT_SOURCE_DIR}/data/icons/${QV7_APP_ID}.ico)
configure_file(data/windows/qv7rsc.rc.in qv7rsc.rc @ONLY)
target_sources(qv7rsc PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/qv7rsc.rc)
set_target_properties(qv7rsc PROPERTIES WIN32_EXECUTABLE ON)

install(TARGETS qv7rsc qv7ctl RUNTIME DESTINATION bin)

# The design's faces are Windows's Japanese ones. Where Windows lacks them the panel registers
# the IPA faces that stand in for them on Linux; their licence lets them be shipped, with it.
set(ipa /usr/share/fonts/opentype/ipafont-gothic)
install(FILES ${ipa}/ipag.ttf ${ipa}/ipagp.ttf DESTINATION bin/fonts)
install(FILES /usr/share/doc/fonts-ipafont-gothic/copyright DESTINATION bin/fonts
        RENAME IPA-Font-License.txt)

# What the programs load, from their import tables (cmake/windows/deploy.cmake): the DLLs in
# Qt's folder and the compiler's, and the plugins that Qt records for each of its modules.
find_program(QV7_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
find_program(QV7_STRIP x86_64-w64-mingw32-strip REQUIRED)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-search-dirs OUTPUT_VARIABLE dirs)
string(REGEX MATCH "libraries: =([^\r\n]*)" dirs "${dirs}")
string(REPLACE ":" ";" search "${CMAKE_MATCH_1}")
list(PREPEND search ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
set(plugins)
foreach(module Core Gui Widgets Network)
    get_target_property(names Qt6::${module} QT_PLUGINS)
    set(files)
    foreach(name IN LISTS names)
        if(TARGET Qt6::${name})
            list(APPEND files $<TARGET_FILE:Qt6::${name}>)
        endif()
    endforeach()
    if(files)
        list(JOIN files "," files)
        list(APPEND plugins "Qt6${module}.dll=${files}")
    endif()
endforeach()
install(CODE "
    set(QV7_BINARIES [[$<TARGET_FILE:qv7rsc>;$<TARGET_FILE:qv7ctl>]])
    set(QV7_SEARCH [[${search}]])
    set(QV7_PLUGINS [[${plugins}]])
    set(QV7_OBJDUMP [[${QV7_OBJDUMP}]])
    set(QV7_STRIP [[${QV7_STRIP}]])
    set(QV7_DESTINATION \"\${CMAKE_INSTALL_PREFIX}/bin\")
    include([[${CMAKE_CURRENT_LIST_DIR}/deploy.cmake]])
")

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME qv7rsc)
set(CPACK_PACKAGE_VENDOR "qv7rsc developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control panel for a projector on a serial line")
set(CPACK_PACKAGE_FILE_NAME qv7rsc-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY qv7rsc)
set(CPACK_STRIP_FILES ON)
# The Start menu entry, and the name in "Apps and features".
set(CPACK_PACKAGE_EXECUTABLES qv7rsc "QV7 Projector Panel")
set(CPACK_NSIS_DISPLAY_NAME "QV7 Projector Panel")
set(CPACK_NSIS_PACKAGE_NAME "QV7 Projector Panel")
set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\qv7rsc.exe)
set(CPACK_NSIS_MUI_ICON ${QV7_ICON})
set(CPACK_NSIS_MUI_UNIICON ${QV7_ICON})
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The installer's options page offers to put bin, and with it qv7ctl, on the PATH.
set(CPACK_NSIS_MODIFY_PATH ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# Debian's makensis makes 32-bit installers unless told otherwise.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
include(CPack)
