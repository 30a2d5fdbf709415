# tarvo_windows_resources(TARGET DESCRIPTION): compiles a VERSIONINFO block (file and
# product version = the project version) and the application manifest
# (requestedExecutionLevel asInvoker, supportedOS Windows 7 to 11) into a delivered
# Windows program or library, from packaging/windows/.
function(tarvo_windows_resources target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(TARVO_RC_NAME ${name})
  set(TARVO_RC_DESCRIPTION "${description}")
  if(type STREQUAL "SHARED_LIBRARY")
    set(TARVO_RC_FILE ${name}.dll)
    set(TARVO_RC_FILETYPE VFT_DLL)
    set(TARVO_RC_MANIFEST_ID 2)
  else()
    set(TARVO_RC_FILE ${name}.exe)
    set(TARVO_RC_FILETYPE VFT_APP)
    set(TARVO_RC_MANIFEST_ID 1)
  endif()
  set(dir ${CMAKE_BINARY_DIR}/generated/resources/${target})
  set(TARVO_RC_MANIFEST ${dir}/${name}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/manifest.xml.in ${TARVO_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/resources.rc.in ${dir}/resources.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/resources.rc)
  set_source_files_properties(${dir}/resources.rc TARGET_DIRECTORY ${target}
    PROPERTIES OBJECT_DEPENDS ${TARVO_RC_MANIFEST})
endfunction()
