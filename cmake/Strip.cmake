# prismlux_ship_stripped(<target>): what ships is stripped (no symbol table, no debug
# sections). They go first to <file>.debug beside the file in the build folder, which the
# stripped file names in its .gnu_debuglink section, so that a crash address from a user can
# still be read (gdb finds the debug file beside the binary; `addr2line -e <file>.debug`).
# Runs after every link, before any later POST_BUILD step of the target.
function(prismlux_ship_stripped target)
  set(file $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Stripping ${target} (its symbols kept in a .debug file beside it)"
    VERBATIM)
endfunction()
