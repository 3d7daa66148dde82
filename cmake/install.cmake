# The man page and the bash completion are made by the tarvex just built
# from the tools' own option tables, so neither can say something that -h
# does not; then what "make install" puts where, and the Debian package.
include(GNUInstallDirs)

set(TARVEX_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
set(TARVEX_MAN_PAGE ${TARVEX_DOC_DIR}/tarvex.1)
set(TARVEX_COMPLETION ${TARVEX_DOC_DIR}/tarvex.bash)
set(TARVEX_GENDOC ${CMAKE_SOURCE_DIR}/scripts/gendoc.lua)

# DEPENDS on the tarvex target also reruns these whenever the executable is
# relinked, which is whenever a tool's table changes (the tools are compiled in).
add_custom_command(
  OUTPUT ${TARVEX_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TARVEX_DOC_DIR}
  COMMAND tarvex ${TARVEX_GENDOC} man ${TARVEX_MAN_PAGE}
  DEPENDS tarvex ${TARVEX_GENDOC}
  COMMENT "man page tarvex.1"
  VERBATIM)
add_custom_command(
  OUTPUT ${TARVEX_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TARVEX_DOC_DIR}
  COMMAND tarvex ${TARVEX_GENDOC} bash ${TARVEX_COMPLETION}
  DEPENDS tarvex ${TARVEX_GENDOC}
  COMMENT "bash completion tarvex.bash"
  VERBATIM)
set(TARVEX_DOCS ${TARVEX_MAN_PAGE} ${TARVEX_COMPLETION})

# Installed man pages are compressed (Debian policy); -n leaves the name and
# time out of the gzip header so the same page gives the same file.
find_program(GZIP gzip)
if(GZIP)
  set(TARVEX_MAN_INSTALLED ${TARVEX_MAN_PAGE}.gz)
  add_custom_command(
    OUTPUT ${TARVEX_MAN_INSTALLED}
    COMMAND ${GZIP} -9 -n -k -f ${TARVEX_MAN_PAGE}
    DEPENDS ${TARVEX_MAN_PAGE}
    COMMENT "man page tarvex.1.gz"
    VERBATIM)
  list(APPEND TARVEX_DOCS ${TARVEX_MAN_INSTALLED})
else()
  set(TARVEX_MAN_INSTALLED ${TARVEX_MAN_PAGE})
endif()
add_custom_target(docs ALL DEPENDS ${TARVEX_DOCS})

# Directories made by the install are 755 whatever the umask of the one who runs it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS tarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TARVEX_MAN_INSTALLED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TARVEX_COMPLETION}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tarvex)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# Kept as addons/example so that LUA_PATH=".../addons/?.lua;;" finds the
# modules example.input.zero and example.output.null.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/addons/example DESTINATION ${CMAKE_INSTALL_DOCDIR}/addons)

# make deb: cpack -G DEB in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarvex maintainers")
set(CPACK_PACKAGE_CONTACT "tarvex maintainers <maintainers@users.noreply.c-seed-f37e9bd5.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scriptable engine that reads, decodes, filters, replays and records DNS traffic")
# CPack puts the summary in front as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tarvex runs a Lua script (LuaJIT) over components compiled into the program:
PCAP readers (plain, memory-mapped, compressed, libpcap live capture), a
decoder down to the DNS message, replay pacing, UDP, TCP and TLS senders
and a capture writer. Built-in tools cover the common jobs: statistics,
dumps, filtering, replay with answer matching, response comparison for
respdiff, threaded replay and live capture.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps names the Debian packages of the libraries tarvex links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
