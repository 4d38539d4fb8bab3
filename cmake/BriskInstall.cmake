# What `cmake --install` puts on a system; the Debian packages (debian/) split the same set.
include(GNUInstallDirs)

# ABI level of the four DFU libraries: raise it with any incompatible change of their C
# interface (and rename the Debian library packages with it).
set(BRISK_SOVERSION 1)

# udev reads rules from <udevdir>/rules.d; its pkg-config file knows where that is.
pkg_get_variable(BRISK_UDEV_DIR_DETECTED udev udevdir)
if(NOT BRISK_UDEV_DIR_DETECTED)
  set(BRISK_UDEV_DIR_DETECTED /usr/lib/udev)
endif()
set(BRISK_UDEV_DIR ${BRISK_UDEV_DIR_DETECTED} CACHE PATH "udev's folder (rules go into rules.d)")
# systemd-sysusers creates the brisknet group from here where no package script does.
pkg_get_variable(BRISK_SYSUSERS_DIR_DETECTED systemd sysusersdir)
if(NOT BRISK_SYSUSERS_DIR_DETECTED)
  set(BRISK_SYSUSERS_DIR_DETECTED /usr/lib/sysusers.d)
endif()
set(BRISK_SYSUSERS_DIR ${BRISK_SYSUSERS_DIR_DETECTED} CACHE PATH "systemd-sysusers' folder")

# The release date in the man pages and the AppStream release: the build's date, or the one
# SOURCE_DATE_EPOCH gives (the Debian build sets it from the changelog) for the same output
# from the same sources.
string(TIMESTAMP BRISK_RELEASE_DATE "%Y-%m-%d" UTC)

set(BRISK_SDK_LIBRARIES MXUPD QKTubeDevice MXUPDFILES MXUPDPRT)

# The SDK's headers as installed: side by side in one folder, so their includes of each other
# lose the source tree's folder prefix.
function(brisk_stage_sdk_header source out_var)
  get_filename_component(name ${source} NAME)
  file(READ ${PROJECT_SOURCE_DIR}/${source} text)
  string(REGEX REPLACE "#include \"[a-z/]+/([A-Za-z]+\\.h)\"" "#include \"\\1\"" text "${text}")
  if(text MATCHES "#include \"[^\"]*/")
    message(FATAL_ERROR "${source}: an include with a folder is left after staging")
  endif()
  set(staged ${PROJECT_BINARY_DIR}/sdk/include/mxupd/${name})
  # Rewritten only on change, so that what includes it is not rebuilt at every configure.
  file(WRITE ${staged}.new "${text}")
  file(COPY_FILE ${staged}.new ${staged} ONLY_IF_DIFFERENT)
  file(REMOVE ${staged}.new)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                                              ${PROJECT_SOURCE_DIR}/${source})
  set(${out_var} ${staged} PARENT_SCOPE)
endfunction()

# The four libraries with their SONAME, headers and pkg-config files (libmxupd-dev).
function(brisk_install_sdk)
  foreach(lib ${BRISK_SDK_LIBRARIES})
    if(NOT TARGET ${lib})
      return()
    endif()
  endforeach()
  set_target_properties(${BRISK_SDK_LIBRARIES} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${BRISK_SOVERSION})
  install(TARGETS ${BRISK_SDK_LIBRARIES} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

  set(headers)
  foreach(h libs/mxupd/MXUPD.h libs/qktube/QKTubeDevice.h libs/mxupdfiles/DfuRecords.h
            libs/mxupdfiles/MXUPDFILES.h libs/mxupdprt/MXUPDPRT.h)
    brisk_stage_sdk_header(${h} staged)
    list(APPEND headers ${staged})
  endforeach()
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mxupd)

  foreach(pc mxupd qktubedevice mxupdfiles mxupdprt)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/pkgconfig/${pc}.pc.in
                   ${PROJECT_BINARY_DIR}/sdk/pkgconfig/${pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/sdk/pkgconfig/${pc}.pc
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endforeach()
  install(FILES examples/mxupd-flash/mxupd-flash.c examples/mxupd-flash/Makefile
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/mxupd-flash)
endfunction()

# The program, the tools, and what the desktop and udev need to know of them.
function(brisk_install_program)
  foreach(program BriskNetService brisknetd brisk-reader brisk-dfu brisk-ctl)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
      configure_file(docs/man/${program}.1.in ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
      install(FILES ${PROJECT_BINARY_DIR}/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  if(TARGET BriskNetService)
    install(FILES app/net.brisk.NetService.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(data/metainfo/net.brisk.NetService.metainfo.xml.in
                   ${PROJECT_BINARY_DIR}/data/net.brisk.NetService.metainfo.xml @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/data/net.brisk.NetService.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES app/icons/brisk-netservice.svg app/icons/brisk-netservice-usb.svg
                  app/icons/brisk-netservice-cat1.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES app/dbus/net.brisk.NetService1.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces)
  endif()
  install(FILES data/udev/70-brisknetservice.rules DESTINATION ${BRISK_UDEV_DIR}/rules.d)
  install(FILES data/sysusers/brisknetservice.conf DESTINATION ${BRISK_SYSUSERS_DIR})
  # The headless program as a user service; user units live under the prefix's lib/systemd.
  install(FILES data/systemd/brisknetservice.service DESTINATION lib/systemd/user)
  # Seat defaults for administrators to copy to $XDG_CONFIG_DIRS/BriskNetService/.
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/examples/setting.ini)
    install(FILES docs/examples/setting.ini
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brisknetservice/examples)
  endif()
endfunction()

# The SDK example built in the tree against the libraries, as an integrator would build it.
function(brisk_add_sdk_example)
  if(NOT TARGET MXUPDPRT OR NOT EXISTS ${PROJECT_SOURCE_DIR}/examples/mxupd-flash)
    return()
  endif()
  add_executable(mxupd-flash ${PROJECT_SOURCE_DIR}/examples/mxupd-flash/mxupd-flash.c)
  target_include_directories(mxupd-flash PRIVATE ${PROJECT_BINARY_DIR}/sdk/include/mxupd)
  target_link_libraries(mxupd-flash PRIVATE MXUPDPRT MXUPDFILES MXUPD QKTubeDevice)
  set_target_properties(mxupd-flash PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/examples)
  target_compile_options(mxupd-flash PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(BRISK_BUILD_TESTS)
    # It runs where no DFU device is: its usage, and a list that says there is none.
    brisk_add_test_program(mxupd-flash)
    add_test(NAME sdk_example_help COMMAND mxupd-flash --help)
    set_tests_properties(sdk_example_help PROPERTIES LABELS sdk-example
                         PASS_REGULAR_EXPRESSION "^usage: mxupd-flash list \\| mxupd-flash flash")
    add_test(NAME sdk_example_list_no_device COMMAND mxupd-flash list)
    set_tests_properties(sdk_example_list_no_device PROPERTIES LABELS sdk-example
                         PASS_REGULAR_EXPRESSION "^no DFU device\n$")
  endif()
endfunction()
