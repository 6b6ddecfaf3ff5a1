# vek_folder_library(<target> [UNITS <unit>...] [EXCLUDE <unit>...]
#                    [DEPS ...] [PRIVATE_DEPS ...] [INCLUDES <dir>...]):
# one static library of every .cpp in the calling folder, or of the named
# units only, less the excluded ones. Units are added by dropping a .h/.cpp
# pair in the folder. DEPS and INCLUDES are what the library's headers need
# too, so its users get them; PRIVATE_DEPS what only its sources need.
#
# A library links only vek_ libraries made before it: the folders are added
# from the bottom layer up, so a link to a layer above stops the
# configuration. Every include path starts at the project root, which cannot
# be narrowed per layer; scripts/check_layers refuses upward includes.
function(vek_folder_library target)
  cmake_parse_arguments(ARG "" "" "UNITS;EXCLUDE;DEPS;PRIVATE_DEPS;INCLUDES" ${ARGN})
  foreach(dep IN LISTS ARG_DEPS ARG_PRIVATE_DEPS)
    if(dep MATCHES "^vek_" AND NOT TARGET ${dep})
      message(FATAL_ERROR "${target} links ${dep}, which is not a layer below it")
    endif()
  endforeach()
  if(ARG_UNITS)
    list(TRANSFORM ARG_UNITS REPLACE "(.+)" "${CMAKE_CURRENT_SOURCE_DIR}/\\1.cpp"
         OUTPUT_VARIABLE sources)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  endif()
  foreach(unit IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${unit}.cpp)
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${ARG_INCLUDES})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR} ${ARG_INCLUDES})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# vek_folder_tests(<folder> <library> [EXTRA ...]): one test program per
# *_test.cpp in tests/<folder>, so a unit's tests build and run on their own.
# A test links its folder's library, the test peers and GoogleTest; EXTRA
# names a further library the folder's rigs need.
function(vek_folder_tests folder library)
  cmake_parse_arguments(ARG "" "" "EXTRA" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    set(exe ${folder}_${name})
    add_executable(${exe} ${src})
    # The peers come first: their rigs use the folder's library.
    target_link_libraries(${exe} PRIVATE vek_testsupport vek_testpeers ${library} ${ARG_EXTRA}
                          GTest::gmock_main)
    # A parameterized case is named by its suffix alone: the printed value
    # of a row may hold an address, which would rename the case every run.
    gtest_discover_tests(${exe}
      DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES
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
      list(APPEND tools vekclient vek_pipe_pacer vek_pa_fault_shim)
    endif()
    foreach(tool ${tools})
      if(TARGET ${tool})
        add_dependencies(${exe} ${tool})
      endif()
    endforeach()
  endforeach()
endfunction()
