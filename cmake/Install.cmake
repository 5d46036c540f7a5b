# What the Debian package installs (make dist stages it with cmake --install):
#   bin/                      the tools, finding the libraries in ../lib/krandolix
#   lib/krandolix/            the driver and the stand-ins for the host's libraries
#   lib/systemd/system/       the gateway's unit template
#   share/man/man1/           a man page for each tool (from man/*.scd, by scdoc)
#   share/doc/krandolix/      README, CHANGES, copyright, an example gateway configuration
install(TARGETS drvhost drvcfg drvscan mcsim drvgw RUNTIME DESTINATION bin)
install(TARGETS Krandolix ZeravDbm Plovanet LIBRARY DESTINATION lib/krandolix)
install(TARGETS ZeravSub LIBRARY DESTINATION lib/krandolix)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/drvgw@.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/krandolix)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/gateway.toml ${CMAKE_SOURCE_DIR}/packaging/Line1.tags
        DESTINATION share/doc/krandolix/examples)

# man pages (release builds): written for scdoc, compressed the way Debian wants
# them (no name, no time)
if(NOT KRANDOLIX_RELEASE)
  return()
endif()
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
set(MAN_PAGES drvhost drvcfg drvscan mcsim drvgw)
set(man_outputs)
foreach(page ${MAN_PAGES})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "\"$0\" < \"$1\" | \"$2\" -9n > \"$3\"" ${SCDOC}
            ${CMAKE_SOURCE_DIR}/man/${page}.1.scd ${GZIP} ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}.1.scd
    COMMENT "man page ${page}(1)"
    VERBATIM)
  list(APPEND man_outputs ${out})
endforeach()
add_custom_target(man ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION share/man/man1)
