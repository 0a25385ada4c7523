# The Debian package: in a Release build, `cpack -G DEB` writes strataloom_<version>_amd64.deb,
# its Depends computed by dpkg-shlibdeps (which needs dpkg-dev and file).
set(STRATALOOM_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/data/debian)

# The package's changelog names the version it ships; a release that forgets it
# would give a package whose history stops one version early.
file(STRINGS ${STRATALOOM_DEBIAN_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^strataloom \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "data/debian/changelog must begin with an entry for ${PROJECT_VERSION}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME strataloom)
set(CPACK_PACKAGE_VENDOR "Strataloom developers")
set(CPACK_PACKAGE_CONTACT "Strataloom developers <strataloom@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move a document's saved versions to a folder and back")
set(CPACK_PACKAGE_DESCRIPTION
    "Strataloom copies every saved version of a document into a new folder as
numbered files, the current version last, each keeping its modification and
creation dates. Dropping such a folder turns it back into one document whose
saved versions are those files, without losing contents, order or dates.

Versions are kept in a version store of Strataloom's own under the user's
data folder. The package holds the window, strataloom, and the command-line
companion, strataloom-cli, which saves and lists versions, archives,
unarchives, and checks and prunes the store. A systemd user service,
strataloom-watch, saves a version of each document saved in the folders
chosen with strataloom-cli watch add.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so shlibdeps cannot see it: without it the window cannot
# start in a Wayland-only session. Added to what shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")

# Debian's own layout on top of what `cmake --install` puts in place.
set(CPACK_STRATALOOM_DEBIAN_DIR ${STRATALOOM_DEBIAN_DIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianLayout.cmake)

include(CPack)
