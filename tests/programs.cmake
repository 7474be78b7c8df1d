# SPDX-License-Identifier: MIT
# Small C programs that use the library as servers do, each an ordinary executable built with
# the default flags: one linked to libku.so, one to libku.a where the link makes a difference.
set(KU_PROGRAMS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/programs)

function(ku_program name source lib)
  add_executable(${name} ${KU_PROGRAMS_DIR}/${source})
  target_link_libraries(${name} PRIVATE ${lib} Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

# Programs that a sanitizer's own allocator would spoil run in the other builds only.
if(CMAKE_C_FLAGS MATCHES "-fsanitize=")
  set(KU_PROGRAMS_SANITIZED ON)
else()
  set(KU_PROGRAMS_SANITIZED OFF)
endif()

if(NOT KU_PROGRAMS_SANITIZED)
  # fork() while other threads move, steal and grow tables; the static link pulls the library's
  # files in another order than the shared one.  Neither GCC 12's AddressSanitizer nor its
  # ThreadSanitizer takes its allocator's locks around fork(), so a child can inherit a
  # size-class lock that another thread held and hang in its first malloc(), with or without
  # this library: a plain threaded program that forks does so within seconds.
  ku_program(program_fork_shared fork_while_moving.c ku)
  ku_program(program_fork_static fork_while_moving.c ku_static)
  # A malloc of the program's own, with a guard page before each block, which a sanitizer's
  # allocator would fight.
  ku_program(program_own_malloc_shared own_malloc.c ku)
  ku_program(program_own_malloc_static own_malloc.c ku_static)
endif()

# Big blocks, preload areas, moves and teardown under Valgrind's memcheck, which replaces malloc:
# no byte outside a block may be read, whether or not the build saw Valgrind's headers.  (Not
# for clang's builds: Valgrind 3.19 cannot read the DWARF 5 that clang 14 writes.)
find_program(KU_VALGRIND_PROGRAM valgrind)
if(KU_VALGRIND_PROGRAM AND NOT KU_PROGRAMS_SANITIZED
   AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_test(NAME program_valgrind_blocks
    COMMAND ${KU_VALGRIND_PROGRAM} -q --error-exitcode=1 $<TARGET_FILE:ku_alloc_test>)
  set_tests_properties(program_valgrind_blocks PROPERTIES TIMEOUT 300)
endif()

# The lookup counters while worker threads use homes of their own, after they are joined, and in
# a child forked meanwhile.  The TLS model of the counters' per-thread part differs between the
# two links.
ku_program(program_threads_counting_shared threads_counting.c ku)
ku_program(program_threads_counting_static threads_counting.c ku_static)
set_tests_properties(program_threads_counting_shared program_threads_counting_static
  PROPERTIES LABELS homes)
