# The include rules between the parts of src/, checked at configure time
# (include) and as a test (cmake -DSRC_DIR=<src> -P this file):
#   - only src/python/ includes Python.h;
#   - nothing outside src/python/ includes a src/python/ file, and nothing
#     below the dispatcher (src/engine/) includes it;
#   - a search (src/search/<name>/) includes no other search's files: the
#     contract (src/search/search.h) and src/search/shared/ are what searches
#     share; src/search/shared/ includes no search;
#   - the bottom parts (src/request/, src/dict/, src/text/) include no search.
# Calls that dodge the includes (a search declaring another's function) are
# caught on the built objects by tools/check_engine_calls.
file(GLOB_RECURSE _files "${SRC_DIR}/*.cpp" "${SRC_DIR}/*.h" "${SRC_DIR}/*.inc")
set(_offenders)
foreach(_file IN LISTS _files)
  file(RELATIVE_PATH _rel "${SRC_DIR}" "${_file}")
  string(REGEX MATCH "^[^/]+" _part "${_rel}")
  set(_search "")
  if(_rel MATCHES "^search/([^/]+)/")
    set(_search "${CMAKE_MATCH_1}")
  endif()
  file(STRINGS "${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(_line IN LISTS _includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" _inc "${_line}")
    set(_why "")
    if(_inc STREQUAL "Python.h" AND NOT _part STREQUAL "python")
      set(_why "only src/python/ may include Python.h")
    elseif(_inc MATCHES "^python/" AND NOT _part STREQUAL "python")
      set(_why "only src/python/ may include the Python layer")
    elseif(_inc MATCHES "^engine/" AND NOT _part MATCHES "^(python|engine)$")
      set(_why "nothing below the dispatcher may include it")
    elseif(_inc MATCHES "^search/" AND _part MATCHES "^(request|dict|text)$")
      set(_why "the records, the dictionary and the letters include no search")
    elseif(_inc MATCHES "^search/([^/]+)/" AND _part STREQUAL "search")
      set(_target "${CMAKE_MATCH_1}")
      if(NOT _target STREQUAL "shared" AND NOT _target STREQUAL _search)
        set(_why "a search includes no other search (share through search/shared/)")
      endif()
    endif()
    if(_why)
      list(APPEND _offenders "src/${_rel} includes ${_inc}: ${_why}")
    endif()
  endforeach()
endforeach()
if(_offenders)
  list(JOIN _offenders "\n  " _list)
  message(FATAL_ERROR "Include rules between the parts of src/ broken:\n  ${_list}")
endif()
