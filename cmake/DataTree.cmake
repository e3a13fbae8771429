# The AppLib folder tree stands beside every Windows program of the build, as users get it.
function(copy_data_tree target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/AppLib $<TARGET_FILE_DIR:${target}>/AppLib
    VERBATIM)
endfunction()

# Other programs of the build that `target` starts from its own folder. They are copied
# again whenever they change, not only when `target` itself is linked again.
function(copy_programs_beside target)
  set(files)
  foreach(program IN LISTS ARGN)
    list(APPEND files $<TARGET_FILE:${program}>)
  endforeach()
  add_custom_target(${target}_programs ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${files} $<TARGET_FILE_DIR:${target}>
    VERBATIM)
  add_dependencies(${target}_programs ${target} ${ARGN})
endfunction()
