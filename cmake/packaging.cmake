# Install rules and the Debian packages built from them by CPack (scripts/package.sh):
#   dialwise            the program, its skins, desktop entry, icons and AppStream data
#   dialwise-directory  the station directory, run as a system service
#   dialwise-caster     the server of the program's own stream kind
include(GNUInstallDirs)

set(DIALWISE_HOMEPAGE "https://dialwise.org/" CACHE STRING
  "The project's home page, named in the package and its AppStream data")
set(DIALWISE_SCREENSHOTS "https://dialwise.org/docs" CACHE STRING
  "Where the screenshots of docs/ are published (AppStream data)")
set(DIALWISE_MAINTAINER "Dialwise developers <maintainers@users.noreply.c-seed-6c5760db.example>"
  CACHE STRING "Maintainer of the packages")

set(dw_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(dw_pkg_out ${PROJECT_BINARY_DIR}/packaging)
set(dw_doc ${CMAKE_INSTALL_DATADIR}/doc)

# Dates of this release: from SOURCE_DATE_EPOCH when set (the package script sets the last
# commit's time), so that the same commit makes the same files.
string(TIMESTAMP DIALWISE_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP DIALWISE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

configure_file(${dw_pkg_src}/org.dialwise.Dialwise.metainfo.xml.in
  ${dw_pkg_out}/org.dialwise.Dialwise.metainfo.xml @ONLY)

# Man pages and changelogs are installed compressed, without time stamps.
find_program(DW_GZIP gzip REQUIRED)
set(dw_gz_files)
function(dw_gzip_file in out)
  configure_file(${in} ${dw_pkg_out}/plain/${out} @ONLY)
  add_custom_command(OUTPUT ${dw_pkg_out}/${out}.gz
    COMMAND ${DW_GZIP} -9nc ${dw_pkg_out}/plain/${out} > ${dw_pkg_out}/${out}.gz
    DEPENDS ${dw_pkg_out}/plain/${out} VERBATIM)
  set(dw_gz_files ${dw_gz_files} ${dw_pkg_out}/${out}.gz PARENT_SCOPE)
endfunction()
foreach(page dialwise dialwise-directory dialwise-caster)
  dw_gzip_file(${dw_pkg_src}/man/${page}.1 ${page}.1)
endforeach()
dw_gzip_file(${dw_pkg_src}/changelog changelog)
add_custom_target(dw_package_files ALL DEPENDS ${dw_gz_files})

# The program.
install(TARGETS dialwise RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dialwise)
# Its plugins, loaded on first use.
foreach(plugin dialwise-web dialwise-mpv dialwise-codecs)
  if(TARGET ${plugin})
    install(TARGETS ${plugin} LIBRARY DESTINATION ${DIALWISE_PLUGIN_SUBDIR} COMPONENT dialwise)
  endif()
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/skins/default
  DESTINATION ${CMAKE_INSTALL_DATADIR}/dialwise/skins COMPONENT dialwise)
install(FILES ${dw_pkg_src}/org.dialwise.Dialwise.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT dialwise)
install(FILES ${dw_pkg_out}/org.dialwise.Dialwise.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT dialwise)
foreach(size 16 22 24 32 48 64 128 256 512)
  install(FILES ${dw_pkg_src}/icons/${size}x${size}/dialwise.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT dialwise)
endforeach()
install(FILES ${dw_pkg_src}/icons/scalable/dialwise.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT dialwise)

# The servers.
if(TARGET dialwise-directory)
  install(TARGETS dialwise-directory RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT directory)
  install(FILES ${dw_pkg_src}/dialwise-directory.service DESTINATION /lib/systemd/system
    COMPONENT directory)
  install(FILES ${dw_pkg_src}/dialwise-directory.default DESTINATION /etc/default
    RENAME dialwise-directory COMPONENT directory)
endif()
if(TARGET dialwise-caster)
  install(TARGETS dialwise-caster RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT caster)
endif()

# What every package has: its man page, copyright, changelog and lintian overrides.
foreach(pair dialwise:dialwise directory:dialwise-directory caster:dialwise-caster)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 comp)
  list(GET pair 1 pkg)
  install(FILES ${dw_pkg_out}/${pkg}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT ${comp})
  install(FILES ${dw_pkg_src}/copyright ${dw_pkg_out}/changelog.gz
    DESTINATION ${dw_doc}/${pkg} COMPONENT ${comp})
  if(EXISTS ${dw_pkg_src}/lintian/${pkg})
    install(FILES ${dw_pkg_src}/lintian/${pkg}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${comp})
  endif()
endforeach()

# The Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dialwise)
set(CPACK_PACKAGE_VENDOR "Dialwise developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dialwise)
if(TARGET dialwise-directory)
  list(APPEND CPACK_COMPONENTS_ALL directory)
endif()
if(TARGET dialwise-caster)
  list(APPEND CPACK_COMPONENTS_ALL caster)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DIALWISE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${DIALWISE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE dialwise)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_DIALWISE_PACKAGE_NAME dialwise)
set(CPACK_DEBIAN_DIALWISE_PACKAGE_SECTION sound)
# Loaded at run time, so not found among the linked libraries: the X11 platform plug-in,
# the sound server's client library (loaded with the first sound device opened), the zip
# library (with the first zip skin read) and the signature library (with the first update
# checked).
# (The embedded browser's helper process comes with its library's dependencies.)
set(CPACK_DEBIAN_DIALWISE_PACKAGE_DEPENDS "qt6-qpa-plugins, libpulse0, libzip4, libsodium23")
# Web pages open in the desktop's browser through xdg-open; the desktop database makes
# the menu entry the handler of "dialwise:" links.
set(CPACK_DEBIAN_DIALWISE_PACKAGE_RECOMMENDS "xdg-utils, desktop-file-utils")
set(CPACK_COMPONENT_DIALWISE_DESCRIPTION "browser for internet radio stations
Dialwise fetches the station list of a station directory, measures how
quickly every station answers, and shows the stations in a list sortable by
ping, listeners, bit rate, average listening time and uptime. It filters by
genre, keeps favorites, and plays stations in its player bar or in a player
program of your choice.
Beside the list it offers chat over IRC with a channel per genre and per
station, file transfer between chat users, a message of the day, an updater,
skins and tips, and it opens dialwise: links from web pages.")

set(CPACK_DEBIAN_DIRECTORY_PACKAGE_NAME dialwise-directory)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_CONTROL_EXTRA
  ${dw_pkg_src}/directory-scripts/postinst ${dw_pkg_src}/directory-scripts/prerm
  ${dw_pkg_src}/directory-scripts/postrm ${dw_pkg_src}/directory-scripts/conffiles)
if(TARGET dw_directory_store)
  # The database driver is a plug-in.
  set(CPACK_DEBIAN_DIRECTORY_PACKAGE_DEPENDS "libqt6sql6-sqlite")
endif()
set(CPACK_COMPONENT_DIRECTORY_DESCRIPTION "station directory and web site for Dialwise
The station directory answers the station list requests of Dialwise from a
catalog and from live sources (Icecast servers and streams of Dialwise's own
kind), answers message-of-the-day requests, and serves the program's web
pages: the news, a page and a forum per station, and the song search.
The package runs it as a system service under a user of its own, with its
files under /var/lib/dialwise-directory.")

set(CPACK_DEBIAN_CASTER_PACKAGE_NAME dialwise-caster)
set(CPACK_DEBIAN_CASTER_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_CASTER_DESCRIPTION "server of Dialwise's own stream kind
The stream server serves audio streams of the kind that the player bar of
Dialwise plays, from an audio file or a tone, coded as PCM, IMA ADPCM, MS
ADPCM or MP3. It can also make a stream misbehave, for testing players.")

include(CPack)
