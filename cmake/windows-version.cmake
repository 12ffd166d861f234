# kestrel_windows_version(TARGET DESCRIPTION): gives a Windows DLL or program
# a version resource (packaging/windows/version.rc.in) with the project's
# version, the product and company names, and DESCRIPTION. Nothing elsewhere.

function(kestrel_windows_version target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(prefix ${target} PREFIX)
  if(type STREQUAL "SHARED_LIBRARY")
    set(KESTREL_RC_FILETYPE VFT_DLL)
    set(suffix ".dll")
  else()
    set(KESTREL_RC_FILETYPE VFT_APP)
    set(suffix ".exe")
  endif()
  if(NOT prefix)
    set(prefix "")
  endif()
  set(KESTREL_RC_NAME ${target})
  set(KESTREL_RC_FILE "${prefix}${target}${suffix}")
  set(KESTREL_RC_DESCRIPTION "${description}")
  set(KESTREL_RC_VERSION
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(rc "${CMAKE_BINARY_DIR}/version/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
