# Fails when a file of the program includes a layer above its own.
#   cmake -DSOURCE_DIR=<tree> -P tools/check_layers.cmake
#
# The layers, bottom to top; a file may include its own layer and those below it:
#   base/     handles, text, the folder tree, the Run-key value
#   net/      HTTP downloads
#   catalog/  property lists, the catalogue, its refresh
#   install/  the install run and the update check, without any window
#   ui/       every window; res/resource.h names their resources and control ids
#   app/      the entry point and start-up
# The property-list reader (catalog/plist*) builds on every platform: it includes nothing
# of the program outside itself and no Windows header.

cmake_minimum_required(VERSION 3.25)

set(layers base net catalog install ui app)
set(rank_of_res 4)  # res/resource.h stands with ui/

function(layer_rank folder out)
  if(folder STREQUAL "res")
    set(${out} ${rank_of_res} PARENT_SCOPE)
  else()
    list(FIND layers "${folder}" rank)
    set(${out} ${rank} PARENT_SCOPE)
  endif()
endfunction()

set(windows_headers windows.h wininet.h winsock2.h shellapi.h shlobj.h objidl.h commctrl.h gdiplus.h
    urlmon.h process.h bcrypt.h)

set(faults "")
foreach(layer IN LISTS layers)
  layer_rank(${layer} own_rank)
  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${layer}/*.cpp" "${SOURCE_DIR}/${layer}/*.h"
       "${SOURCE_DIR}/${layer}/*.h.in")
  foreach(file IN LISTS files)
    string(REGEX MATCH "^catalog/plist" portable "${file}")
    file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]*\"([^/\"]+)/([^\"]+)\"")
        set(included "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}")
        layer_rank("${CMAKE_MATCH_1}" included_rank)
        if(included_rank GREATER own_rank)
          list(APPEND faults "${file} includes ${included}, a layer above ${layer}/")
        elseif(included_rank EQUAL -1)
          list(APPEND faults "${file} includes ${included}, which belongs to no layer")
        elseif(portable AND NOT included MATCHES "^catalog/plist")
          list(APPEND faults "${file} includes ${included}: the property-list reader stands alone")
        endif()
      elseif(portable AND line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        string(TOLOWER "${CMAKE_MATCH_1}" header)
        if(header IN_LIST windows_headers)
          list(APPEND faults "${file} includes <${CMAKE_MATCH_1}>: the property-list reader is portable")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
message(STATUS "Every include looks down.")
