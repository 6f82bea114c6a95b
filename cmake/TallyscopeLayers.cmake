# Refuses, at configure time, an #include that reaches up the layers. The link catches a call
# into a higher library; this catches the header-only reach (an inline function, a struct) that
# the link cannot see.
set(_tallyscope_layers
  "platform:platform"
  "link:platform link"
  "measure:platform link measure"
  "control:platform link control"
  "session:platform link measure control session"
  "update:platform update"
  "remote:platform link measure control session remote"
  "sim:platform link sim"
  "platform/gui:platform platform/gui"
  "measure/gui:platform link measure platform/gui measure/gui"
  "update/gui:platform update update/gui"
  "tools:platform link measure control session remote tools")

foreach(entry IN LISTS _tallyscope_layers)
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 folder)
  list(GET parts 1 allowed)
  string(REPLACE " " ";" allowed "${allowed}")
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  foreach(f IN LISTS files)
    # A nested gui/ folder is a layer of its own, checked by its own entry.
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR}/${folder} ${f})
    if(NOT folder MATCHES "/gui$" AND rel MATCHES "^gui/")
      continue()
    endif()
    file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[a-z_]+/(gui/)?" target "${header}")
      string(REGEX REPLACE "/$" "" target "${target}")
      if(NOT target MATCHES "/gui$" AND header MATCHES "^[a-z_]+/[^/]+/")
        # e.g. update/updater/changeover.h belongs to its top folder
        string(REGEX MATCH "^[a-z_]+" target "${header}")
      endif()
      list(FIND allowed "${target}" found)
      if(found EQUAL -1)
        file(RELATIVE_PATH shown ${CMAKE_CURRENT_SOURCE_DIR} ${f})
        message(FATAL_ERROR "Layering: ${shown} includes \"${header}\", but ${folder}/ may include only: ${allowed}")
      endif()
    endforeach()
  endforeach()
endforeach()
