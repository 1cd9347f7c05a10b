# Windows: the programs' icon and version as resources, and what
# `cmake --install build-windows --prefix DIR` puts into DIR: a folder that
# runs on a Windows machine with nothing else installed.
#   DIR/upgrade-package-tool.exe, upgrade-package-cli.exe
#   DIR/Qt5Core.dll, Qt5Gui.dll, Qt5Widgets.dll, libzip.dll, zlib1.dll and
#       the MinGW runtime (libstdc++-6, libgcc_s_seh-1, libwinpthread-1)
#   DIR/platforms/qwindows.dll, DIR/styles/qwindowsvistastyle.dll
#   DIR/translations/qtbase_zh_CN.qm (Qt's own dialog texts in Chinese)

foreach(program IN ITEMS upgrade-package-tool upgrade-package-cli)
  set(ICON_FILE "${PROJECT_SOURCE_DIR}/resources/icons/upgrade-package-tool.ico")
  set(RC_PROGRAM ${program})
  configure_file(resources/windows/upgrade-package-tool.rc.in ${program}.rc @ONLY)
  target_sources(${program} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc)
endforeach()
target_link_libraries(upgrade-package-tool PRIVATE Qt5::WinMain)
# A static runtime would still need the SDK's DLLs; the programs use the
# shared MinGW runtime that the folder carries.

install(TARGETS upgrade-package-tool upgrade-package-cli RUNTIME DESTINATION .)

get_filename_component(qt_bin "${Qt5_DIR}/../../../bin" ABSOLUTE)
get_filename_component(qt_plugins "${Qt5_DIR}/../../../plugins" ABSOLUTE)
install(FILES ${qt_bin}/Qt5Core.dll ${qt_bin}/Qt5Gui.dll ${qt_bin}/Qt5Widgets.dll
              ${qt_bin}/libzip.dll ${qt_bin}/zlib1.dll
              ${qt_bin}/libstdc++-6.dll ${qt_bin}/libgcc_s_seh-1.dll ${qt_bin}/libwinpthread-1.dll
        DESTINATION .)
install(FILES ${qt_plugins}/platforms/qwindows.dll DESTINATION platforms)
install(FILES ${qt_plugins}/styles/qwindowsvistastyle.dll DESTINATION styles)

# Qt's Chinese texts come from Debian's qttranslations5-l10n (the .qm files
# are the same for every platform); the program looks for them in
# translations/ beside itself (src/app/qttranslations.cpp).
find_file(QTBASE_ZH_CN qtbase_zh_CN.qm PATHS /usr/share/qt5/translations NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
install(FILES ${QTBASE_ZH_CN} DESTINATION translations)
