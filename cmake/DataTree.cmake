# The AppLib folder tree stands beside every Windows program of the build, as users get it.
function(copy_data_tree target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/AppLib $<TARGET_FILE_DIR:${target}>/AppLib
    VERBATIM)
endfunction()
