# Debian packages through CPack (scripts/package.sh drives it for each
# architecture):
#   update-cfg              the tool, its manual page, its start at boot
#   update-cfg-store        the stand-in store libxml.so (a PC, or a device
#                           without the vendor's library)
#   update-cfg-store-dev    its header
#   update-cfg-mender       the Mender update module
# UPDATE_CFG_PACKAGING adds what only a package carries (copyright and
# changelog under /usr/share/doc, lintian overrides).
option(UPDATE_CFG_PACKAGING "Install the files only the Debian packages carry" OFF)

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(package_tool update-cfg)
set(package_store update-cfg-store)
set(package_dev update-cfg-store-dev)
set(package_mender update-cfg-mender)

if(UPDATE_CFG_PACKAGING)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${packaging}/changelog > ${changelog}
    DEPENDS ${packaging}/changelog)
  add_custom_target(changelog ALL DEPENDS ${changelog})
  # The store carries pugixml and the C++ runtime inside: their notices too.
  file(READ ${packaging}/copyright project_copyright)
  file(READ ${packaging}/copyright-pugixml linked_copyright)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/copyright-store
    "${project_copyright}${linked_copyright}")
  foreach(component tool store dev mender)
    set(name ${package_${component}})
    set(copyright ${packaging}/copyright)
    if(component STREQUAL "store")
      set(copyright ${PROJECT_BINARY_DIR}/packaging/copyright-store)
    endif()
    install(FILES ${copyright} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}
      RENAME copyright COMPONENT ${component})
    install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}
      COMPONENT ${component})
    if(EXISTS ${packaging}/${name}.lintian-overrides)
      install(FILES ${packaging}/${name}.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${name}
        COMPONENT ${component})
    endif()
  endforeach()
endif()

# The dpkg architecture of the target.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(deb_architecture armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(deb_architecture arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(deb_architecture amd64)
else()
  set(deb_architecture ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${package_tool})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)  # the boot files go to /etc and /lib, outside the prefix
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool store dev mender)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_architecture})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${package_tool})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "update_cfg developers <update-cfg@recorders.example.org>"
  CACHE STRING "Maintainer of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${package_tool})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
# On a device the vendor's libxml.so is the store, which no package provides.
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS ${package_store})
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${packaging}/tool/conffiles)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "apply an update file to a recorder's XML configurations
update_cfg reads /mnt/mtd/app/update.cfg (section.key=value lines), writes
every value into the recorder's three XML configuration files through the
configuration store libxml.so, and consumes the update file.  It starts at
boot when an update file is there: a systemd unit and a BusyBox init script.
.
On a device the vendor's libxml.so is the store; elsewhere install
update-cfg-store.")

set(CPACK_DEBIAN_STORE_PACKAGE_NAME ${package_store})
set(CPACK_DEBIAN_STORE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_STORE_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_STORE_PACKAGE_CONTROL_EXTRA "${packaging}/store/triggers;${packaging}/store/postinst;${packaging}/store/postrm")
set(CPACK_COMPONENT_STORE_DESCRIPTION "configuration store libxml.so for update_cfg
A durable XML configuration store with the four C operations of the
recorder's libxml.so (xml_file_open, xml_file_write, xml_file_save,
xml_file_close), for a PC or a device without the vendor's library.  A
device with the vendor's libxml.so does not need it.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${package_store} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "header of the configuration store libxml.so
xml_file.h declares the four C operations of the configuration store
libxml.so, for programs that read and write the recorder's configurations.")

set(CPACK_DEBIAN_MENDER_PACKAGE_NAME ${package_mender})
set(CPACK_DEBIAN_MENDER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_MENDER_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_MENDER_PACKAGE_DEPENDS "${package_tool}")
set(CPACK_DEBIAN_MENDER_PACKAGE_ENHANCES "mender-client")
set(CPACK_COMPONENT_MENDER_DESCRIPTION "Mender update module for update_cfg update files
The update module update-cfg installs an update-cfg artifact (one update
file) with update_cfg and rolls it back when it did not reach every
configuration.")

include(CPack)
