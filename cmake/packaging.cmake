# Installation and packages: the library, actlog, the headers, the message
# libraries, a CMake package (find_package(Log CONFIG) -> Log::Log) and a
# pkg-config file (log.pc). cpack makes a Debian package on Linux and a zip
# on Windows.
include(CMakePackageConfigHelpers)

set(LOG_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Log)

# Message libraries: beside Log.dll on Windows, beside libLog.so in a
# relocatable install, in the baked-in directory of a system-wide package.
if(WIN32)
  set(LOG_MESSAGES_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
elseif(LOG_MESSAGES_DIR)
  file(RELATIVE_PATH LOG_MESSAGES_INSTALL_DIR ${CMAKE_INSTALL_PREFIX} ${LOG_MESSAGES_DIR})
  if(LOG_MESSAGES_INSTALL_DIR MATCHES "^\\.\\.")
    set(LOG_MESSAGES_INSTALL_DIR ${LOG_MESSAGES_DIR})
  endif()
else()
  set(LOG_MESSAGES_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR})
endif()

install(TARGETS Log EXPORT LogTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET actlog)
  install(TARGETS actlog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/Native/Log/Log.h ${CMAKE_SOURCE_DIR}/Native/Messages/message_ids.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${LOG_MESSAGE_LIBRARIES} DESTINATION ${LOG_MESSAGES_INSTALL_DIR})

# MSVC import library, made from the export list (mingw links the .dll.a).
if(WIN32)
  find_program(LOG_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  set(LOG_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/Log.lib)
  add_custom_command(
    OUTPUT ${LOG_MSVC_IMPLIB}
    COMMAND ${LOG_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/Native/Log/Log.def -l ${LOG_MSVC_IMPLIB}
    DEPENDS ${CMAKE_SOURCE_DIR}/Native/Log/Log.def
    COMMENT "MSVC import library Log.lib"
    VERBATIM)
  add_custom_target(msvc_import_library ALL DEPENDS ${LOG_MSVC_IMPLIB})
  install(FILES ${LOG_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# CMake package.
install(EXPORT LogTargets NAMESPACE Log:: DESTINATION ${LOG_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/LogConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/package/LogConfig.cmake
                              INSTALL_DESTINATION ${LOG_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/LogConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/LogConfig.cmake ${CMAKE_BINARY_DIR}/package/LogConfigVersion.cmake
        DESTINATION ${LOG_CMAKE_INSTALL_DIR})

# pkg-config: a system-wide package names its absolute prefix; any other
# install finds its prefix from the .pc file's own place, so it can be moved.
if(LOG_SYSTEM_LAYOUT)
  set(LOG_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH _up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  set(LOG_PC_PREFIX "\${pcfiledir}/${_up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/log.pc.in ${CMAKE_BINARY_DIR}/package/log.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/log.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Packages.
set(CPACK_PACKAGE_NAME actlog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Activity-log library, its message libraries and the actlog tool")
set(CPACK_PACKAGE_CONTACT "Activity-log maintainers <actlog@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  if(LOG_SYSTEM_LAYOUT)
    # The maintainer scripts create (and on purge remove) the shared group and
    # the log and journal directories.
    set(LOG_GROUP actlog)
    foreach(script postinst postrm)
      configure_file(${CMAKE_CURRENT_LIST_DIR}/package/${script}.in ${CMAKE_BINARY_DIR}/package/${script} @ONLY
                     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
    endforeach()
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/postinst ${CMAKE_BINARY_DIR}/package/postrm)
  endif()
endif()
include(CPack)
