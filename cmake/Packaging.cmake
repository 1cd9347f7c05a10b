# The Debian package: `bash scripts/package.sh` builds the two programs in
# build-deb/ and runs `cpack -G DEB` there. The install() rules in the top
# CMakeLists.txt say what goes into it; this file compresses the documents
# Debian wants compressed and sets the package's control fields.

# Manual pages and the changelog are installed gzip-compressed (Debian
# policy 12.1, 12.7); -n keeps the file name and time out of the header so
# the same sources always give the same bytes.
set(PACKAGE_DOC_BUILD_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaged-docs")
set(packaging_compressed)
foreach(source IN ITEMS docs/man/upgrade-package-cli.1 docs/man/upgrade-package-tool.1
                        docs/package/changelog)
  get_filename_component(name "${source}" NAME)
  set(compressed "${PACKAGE_DOC_BUILD_DIR}/${name}.gz")
  add_custom_command(
    OUTPUT "${compressed}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PACKAGE_DOC_BUILD_DIR}"
    COMMAND gzip -9 -n -c "${CMAKE_CURRENT_SOURCE_DIR}/${source}" > "${compressed}"
    DEPENDS "${source}"
    COMMENT "Compressing ${source}"
    VERBATIM)
  list(APPEND packaging_compressed "${compressed}")
endforeach()
add_custom_target(packaged-docs ALL DEPENDS ${packaging_compressed})

# A release sets the real address with -DPACKAGE_MAINTAINER="Name <address>";
# the default uses the reserved .invalid domain, which claims no one's mailbox.
set(PACKAGE_MAINTAINER
    "Combined Upgrade Package Tool maintainers <maintainers@upgrade-package-tool.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME upgrade-package-tool)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builds combined upgrade packages for robot controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "组合升级包生成工具 (upgrade-package-tool) lists the upgrade items of a robot
controller installation - HMI, controller, robot model file, 3D model, custom
logo, servo parameters, language pack, or an earlier combined package - and
writes them into one ZIP archive together with the JSON manifest
upgrade_package_config.json. An earlier combined package is screened and its
items are copied into the new one, so the result is always one flat package.

upgrade-package-cli does the same without a display, for build servers, and
checks existing packages (inspect). See upgrade-package-cli(1) and
/usr/share/doc/upgrade-package-tool/README.md.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies as dpkg-shlibdeps finds them in the two programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese: without a CJK font they are empty boxes.
# Qt's own dialog texts (file chooser, message box buttons) in Chinese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei, qttranslations5-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
