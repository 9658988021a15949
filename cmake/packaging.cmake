# Static linking, install rules and release tarballs for tarvick and
# tarvick-node.

if(TARVICK_STATIC)
  # Router firmware often has no json-c at all, or a libstdc++ of another
  # version: link everything in, json-c from its static archive.
  find_library(TARVICK_JSONC_ARCHIVE NAMES libjson-c.a
               HINTS ${JSONC_LIBRARY_DIRS} ${JSONC_STATIC_LIBRARY_DIRS})
  if(NOT TARVICK_JSONC_ARCHIVE)
    message(FATAL_ERROR "TARVICK_STATIC needs libjson-c.a (package libjson-c-dev)")
  endif()
  set(_tarvick_jsonc_extra ${JSONC_STATIC_LIBRARIES})
  list(REMOVE_ITEM _tarvick_jsonc_extra json-c)
  set_target_properties(PkgConfig::JSONC PROPERTIES
    INTERFACE_LINK_LIBRARIES "${TARVICK_JSONC_ARCHIVE};${_tarvick_jsonc_extra}")
  find_library(TARVICK_YAML_ARCHIVE NAMES libyaml.a HINTS ${YAML_LIBRARY_DIRS} ${YAML_STATIC_LIBRARY_DIRS})
  if(NOT TARVICK_YAML_ARCHIVE)
    message(FATAL_ERROR "TARVICK_STATIC needs libyaml.a (package libyaml-dev)")
  endif()
  set_target_properties(PkgConfig::YAML PROPERTIES INTERFACE_LINK_LIBRARIES "${TARVICK_YAML_ARCHIVE}")
  if(TARGET PkgConfig::QRENCODE)
    # Only when a libqrencode.a was found (see TARVICK_NODE_QR).
    set(_tarvick_qrencode_extra ${QRENCODE_STATIC_LIBRARIES})
    list(REMOVE_ITEM _tarvick_qrencode_extra qrencode)
    set_target_properties(PkgConfig::QRENCODE PROPERTIES
      INTERFACE_LINK_LIBRARIES "${TARVICK_QRENCODE_ARCHIVE};${_tarvick_qrencode_extra}")
  endif()
  target_link_options(tarvick PRIVATE ${TARVICK_STATIC_LINK})
  target_link_options(tarvick-node PRIVATE ${TARVICK_STATIC_LINK})
endif()

include(GNUInstallDirs)
install(TARGETS tarvick tarvick-node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../man/tarvick.1
              ${CMAKE_CURRENT_LIST_DIR}/../man/tarvick-node.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# One tarball per target machine, both programs in it; the name says which
# machine, and whether they need json-c (and tarvick-node libqrencode) on the
# router.
set(_tarvick_machine ${CMAKE_SYSTEM_PROCESSOR})
if(NOT _tarvick_machine)
  set(_tarvick_machine ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME tarvick)
set(CPACK_PACKAGE_VENDOR tarvick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Writes proxy client configuration files from the router's settings daemon, and turns share links into node settings and back")
set(CPACK_PACKAGE_FILE_NAME "tarvick-${PROJECT_VERSION}-linux-${_tarvick_machine}")
if(TARVICK_STATIC)
  string(APPEND CPACK_PACKAGE_FILE_NAME "-static")
endif()
set(CPACK_STRIP_FILES TRUE)
include(CPack)
