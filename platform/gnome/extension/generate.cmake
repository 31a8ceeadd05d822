# Writes one form of the Shell extension from the shared source: the form's
# head, the service, the form's tail, and its metadata.
#   -DSRC=dir -DOUT=dir -DFORM=legacy|esm -DUUID=... -DCOMPANION_EXE=path
if(FORM STREQUAL "legacy")
  set(VERSIONS "\"43\", \"44\"")
else()
  set(VERSIONS "\"45\", \"46\", \"47\", \"48\", \"49\"")
endif()
file(READ ${SRC}/${FORM}-head.js head)
file(READ ${SRC}/service.js service)
file(READ ${SRC}/${FORM}-tail.js tail)
string(REPLACE "@COMPANION_INSTALLED_EXE@" "${COMPANION_EXE}" service "${service}")
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/extension.js.tmp "${head}\n${service}${tail}")
configure_file(${OUT}/extension.js.tmp ${OUT}/extension.js COPYONLY)
file(REMOVE ${OUT}/extension.js.tmp)
configure_file(${SRC}/metadata.json.in ${OUT}/metadata.json @ONLY)
