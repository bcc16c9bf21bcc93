# The one version of the product comes from the VERSION file at the top of the tree. This makes it
# available as orvanta/version.h (C++ and resource scripts) and as the VERSIONINFO fragment every
# Windows executable includes, both through the orvanta_version target.
get_filename_component(ORVANTA_VERSION_FILE ${CMAKE_CURRENT_LIST_DIR}/../VERSION ABSOLUTE)
set(ORVANTA_VERSION_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})

# Before project(): the version it is given.
function(orvanta_read_version out_var)
  file(STRINGS ${ORVANTA_VERSION_FILE} text LIMIT_COUNT 1)
  string(STRIP "${text}" text)
  if(NOT text MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "VERSION must hold MAJOR.MINOR.PATCH, not '${text}'")
  endif()
  # A changed VERSION must reconfigure, or the executables would keep the old number.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORVANTA_VERSION_FILE})
  set(${out_var} ${text} PARENT_SCOPE)
endfunction()

# After project(): the generated header and resource fragment.
function(orvanta_add_version_target)
  set(dir ${CMAKE_BINARY_DIR}/generated)
  configure_file(${ORVANTA_VERSION_TEMPLATES}/version.h.in ${dir}/orvanta/version.h @ONLY)
  configure_file(${ORVANTA_VERSION_TEMPLATES}/version_info.rc ${dir}/orvanta/version_info.rc COPYONLY)
  add_library(orvanta_version INTERFACE)
  target_include_directories(orvanta_version INTERFACE ${dir})
  # For OBJECT_DEPENDS of resource scripts, whose includes the build does not track.
  set(ORVANTA_VERSION_HEADERS ${dir}/orvanta/version.h ${dir}/orvanta/version_info.rc PARENT_SCOPE)
endfunction()
