# Run by CPack on the staged files before it builds the package: Debian wants
# compressed manual pages, and a copyright file and changelog in the package's doc folder.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

file(GLOB pages ${root}/share/man/man*/*)
list(FILTER pages EXCLUDE REGEX "\\.gz$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc ${root}/share/doc/${CPACK_PACKAGE_NAME})
file(MAKE_DIRECTORY ${doc})
file(COPY ${CPACK_STRATALOOM_DEBIAN_DIR}/copyright DESTINATION ${doc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# A package whose version has no Debian revision is native: its changelog is changelog.gz.
execute_process(COMMAND gzip -9nc ${CPACK_STRATALOOM_DEBIAN_DIR}/changelog
                OUTPUT_FILE ${doc}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

# KDE lists a service menu from a system folder without the executable bit,
# which only one in the user's own folder needs (a `cmake --install` there);
# Debian wants data files plain.
file(GLOB service_menus ${root}/share/kio/servicemenus/*.desktop)
if(service_menus)
  file(CHMOD ${service_menus} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
