# Fails when an engine file (a src/ file whose name does not start with
# python_) includes Python.h. Used at configure time (include) and as a test
# (cmake -DENGINE_DIR=<src> -P this file).
file(GLOB _engine_files "${ENGINE_DIR}/*.cpp" "${ENGINE_DIR}/*.h" "${ENGINE_DIR}/*.inc")
list(FILTER _engine_files EXCLUDE REGEX "/python_[^/]*$")
set(_offenders)
foreach(_file IN LISTS _engine_files)
  file(STRINGS "${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]Python\\.h[>\"]")
  if(_includes)
    list(APPEND _offenders "${_file}")
  endif()
endforeach()
if(_offenders)
  list(JOIN _offenders "\n  " _list)
  message(FATAL_ERROR "Only src/python_* files may include Python.h; these engine files do:\n  ${_list}")
endif()
