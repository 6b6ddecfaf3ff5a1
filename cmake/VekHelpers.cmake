# vek_folder_library(<target> [DEPS ...]): one static library of every .cpp in
# the calling folder. Units are added by dropping a .h/.cpp pair in the folder.
function(vek_folder_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# vek_folder_tests(<folder> <library>): one test program per *_test.cpp in
# tests/<folder>, so a unit's tests build and run on their own.
function(vek_folder_tests folder library)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    set(exe ${folder}_${name})
    add_executable(${exe} ${src})
    target_link_libraries(${exe} PRIVATE ${library} vek_testsupport GTest::gmock_main)
    gtest_discover_tests(${exe}
      DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES ENVIRONMENT "VEK_BINARY_DIR=${PROJECT_BINARY_DIR}" TIMEOUT 300)
    # Where the sources and the built tools are, for tests that need files of
    # the tree or start a built program.
    target_compile_definitions(${exe} PRIVATE
      VEK_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VEK_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # Tests start the standalone test server as a child process; the front
    # end's tests also start the program itself and the pipe pacer.
    set(tools vek_test_server)
    if(folder STREQUAL "app")
      list(APPEND tools vekclient vek_pipe_pacer)
    endif()
    foreach(tool ${tools})
      if(TARGET ${tool})
        add_dependencies(${exe} ${tool})
      endif()
    endforeach()
  endforeach()
endfunction()
