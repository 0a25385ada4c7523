# The Debian changelog and the AppStream release notes name the version the
# project builds: a release that forgets one would ship a history that stops
# one version early.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^strataloom \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog must begin with an entry for ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/data/org.strataloom.strataloom.metainfo.xml newest_release
     REGEX "<release " LIMIT_COUNT 1)
if(NOT newest_release MATCHES "version=\"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "the metainfo's <releases> must begin with ${PROJECT_VERSION}")
endif()
