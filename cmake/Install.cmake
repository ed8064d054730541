# What an installed nerivane consists of, and the Debian package made from it
# (scripts/package). Only the three programs, nerivane's two modules and the files under data/ have
# install rules, all in the component "nerivane": the lab's responder, tests
# and benchmarks never reach an installation or the package.
include(GNUInstallDirs)

set(NERIVANE_APP_ID org.nerivane.Nerivane)
# A release publishes data/screenshots/ (scripts/screenshots makes it) there.
set(NERIVANE_SCREENSHOTS_URL "https://nerivane.org/screenshots" CACHE STRING
  "Public address under which data/screenshots/ is served, for the software centre; no screenshots when empty")

install(TARGETS nerivane nerivane-probe nerivane-history
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT nerivane)
# The tray's widgets, loaded by nerivane where a desktop is, and the metrics
# endpoint, loaded when it serves metrics (nerivane/CMakeLists.txt).
install(TARGETS nerivane-desktop nerivane-metrics
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/nerivane COMPONENT nerivane)

set(data ${CMAKE_SOURCE_DIR}/data)
set(generated ${CMAKE_BINARY_DIR}/data)

install(FILES ${data}/${NERIVANE_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT nerivane)
install(FILES ${data}/icons/${NERIVANE_APP_ID}.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT nerivane)
install(DIRECTORY ${data}/icons/hicolor/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor COMPONENT nerivane)
# Shipped, not applied: the user copies it to /etc/sysctl.d/ (see the README).
install(FILES ${data}/sysctl/60-nerivane-ping.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/nerivane COMPONENT nerivane)
install(FILES ${data}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT nerivane)
file(MAKE_DIRECTORY ${generated})
execute_process(COMMAND gzip -9 -n -c ${data}/changelog.Debian
  OUTPUT_FILE ${generated}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${data}/changelog.Debian)
install(FILES ${generated}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT nerivane)

# The metainfo with one screenshot entry per data/screenshots/NAME.png; the
# first line of NAME.txt beside it is its caption.
set(screenshots "")
if(NERIVANE_SCREENSHOTS_URL)
  file(GLOB shots CONFIGURE_DEPENDS ${data}/screenshots/*.png)
  set(type " type=\"default\"")
  foreach(shot ${shots})
    get_filename_component(stem ${shot} NAME_WE)
    get_filename_component(file ${shot} NAME)
    set(caption ${stem})
    if(EXISTS ${data}/screenshots/${stem}.txt)
      file(STRINGS ${data}/screenshots/${stem}.txt caption LIMIT_COUNT 1)
    endif()
    string(APPEND screenshots "\n    <screenshot${type}>\n      <caption>${caption}</caption>"
      "\n      <image>${NERIVANE_SCREENSHOTS_URL}/${file}</image>\n    </screenshot>")
    set(type "")
  endforeach()
  if(screenshots)
    set(screenshots "\n  <screenshots>${screenshots}\n  </screenshots>")
  endif()
endif()
set(NERIVANE_METAINFO_SCREENSHOTS "${screenshots}")
# A build with a release feed also asks it for newer versions; say so.
if(NERIVANE_UPDATE_FEED)
  set(NERIVANE_METAINFO_UPDATES "; and a check of the release feed for a newer version")
else()
  set(NERIVANE_METAINFO_UPDATES "")
endif()
configure_file(${data}/${NERIVANE_APP_ID}.metainfo.xml.in ${generated}/${NERIVANE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${generated}/${NERIVANE_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT nerivane)

# Man pages carry the version and are installed compressed, as Debian wants.
foreach(page nerivane nerivane-probe nerivane-history)
  configure_file(${data}/man/${page}.1.in ${generated}/man/${page}.1 @ONLY)
  execute_process(COMMAND gzip -9 -n -f -k ${generated}/man/${page}.1 COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${generated}/man/${page}.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT nerivane)
endforeach()

# The Debian package: one binary package of the component above, its library
# dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nerivane)
set(CPACK_PACKAGE_VENDOR "The nerivane developers")
set(CPACK_PACKAGE_CONTACT "The nerivane developers <nerivane@nerivane.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network-quality monitor for the system tray")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
nerivane tells at a glance how good the network connection is and where
trouble lies: about once a second it probes the router and internet hosts
by ICMP echo or TCP, reaches one verdict, shows it with a latency readout
in the tray, notifies of outages and keeps a per-minute history.

Also contains nerivane-probe, the probe engine on the command line, and
nerivane-history, which reads the history database.]])
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL nerivane)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A tray needs a Qt platform plugin, which no library dependency names, and
# Qt finds hicolor icons only where the theme's index.theme is installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
