# qm_layer(<target> [DEPS <targets>...] [EXCLUDE <files>...])
# Builds the *.cpp files of the calling folder (not its subfolders) into one static library,
# leaving out EXCLUDE (a program's main file, for instance).
# A folder without sources yet becomes an interface library, so the layer graph stays whole.
#
# Each layer sees only its own headers and those of the layers it links: instead of all of src/,
# a layer exports an include root of its own that holds links to its headers only, under the
# same path as in src/ ("support/log.h", "db/sqlite/sqlite_connection.h"). Headers of a higher
# or sideways layer are then not found, so a wrong include fails the build.
function(qm_layer target)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  _qm_layer_include_root(${target} include_root)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${include_root})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${include_root})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# Makes <build>/layers/<target>/<folder relative to src>/ with one link per header of the
# calling folder (files only: a subfolder is a layer of its own) and returns the root in `out`.
function(_qm_layer_include_root target out)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
  endforeach()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# qm_test_suite(<name> LABELS <labels> DEPS <targets>...)
# GoogleTest executables from the *_test.cpp files of the calling folder, each with the folder's
# *_fixture.cpp helpers. The labels say what a test needs to run:
#   unit      nothing but the build (no server, no other process)
#   e2e       the built qmsrv/qmcli or an in-process server over loopback
#   postgres  the PostgreSQL test server (scripts/test-servers.sh)
#   firebird  the Firebird test server
# A test file that needs a database server is named for it, and unless the suite already carries
# that server's label it builds into an executable of its own that does:
#   pg_*_test.cpp -> <name>_postgres, fb_*_test.cpp -> <name>_firebird
# labelled with the suite's labels, `unit` replaced by the server's. So `ctest -L unit` runs
# without servers and `ctest -LE postgres` leaves out exactly the tests that need PostgreSQL. A
# test file that reaches a server's helpers (common/postgres_server.h, common/firebird_server.h or
# a folder fixture that includes them) without such a name stops the configuration.
# Sets QM_TEST_SUITES in the caller to the executables made, and QM_LAST_TEST_SUITE to the main
# one (<name> when it has tests), for a folder that adds sources or dependencies to it.
function(qm_test_suite name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_fixture.cpp)
  set(made)
  foreach(server postgres firebird)
    if(server STREQUAL "postgres")
      set(prefix pg_)
    else()
      set(prefix fb_)
    endif()
    if(server IN_LIST ARG_LABELS)
      continue()
    endif()
    set(needing)
    foreach(source ${sources})
      get_filename_component(file ${source} NAME)
      if(file MATCHES "^${prefix}")
        list(APPEND needing ${source})
      else()
        _qm_check_no_server(${source} ${server})
      endif()
    endforeach()
    if(needing)
      list(REMOVE_ITEM sources ${needing})
      set(labels ${ARG_LABELS})
      list(REMOVE_ITEM labels unit)
      list(APPEND labels ${server})
      _qm_test_executable(${name}_${server} "${needing};${helpers}" "${labels}" "${ARG_DEPS}")
      list(APPEND made ${name}_${server})
    endif()
  endforeach()
  if(sources)
    _qm_test_executable(${name} "${sources};${helpers}" "${ARG_LABELS}" "${ARG_DEPS}")
    list(APPEND made ${name})
  endif()
  set(QM_TEST_SUITES ${made} PARENT_SCOPE)
  if(sources)
    set(QM_LAST_TEST_SUITE ${name} PARENT_SCOPE)
  elseif(made)
    list(GET made -1 last)
    set(QM_LAST_TEST_SUITE ${last} PARENT_SCOPE)
  else()
    unset(QM_LAST_TEST_SUITE PARENT_SCOPE)
  endif()
endfunction()

# Stops the configuration when `source` includes the helpers of `server` (postgres or firebird).
function(_qm_check_no_server source server)
  file(READ ${source} text)
  if(server STREQUAL "postgres")
    set(helpers "postgres_server\\.h|postgres_fixture\\.h")
  else()
    set(helpers "firebird_server\\.h")
  endif()
  if(text MATCHES "#include \"[^\"]*(${helpers})\"")
    message(FATAL_ERROR "${source} needs the ${server} test server: name it pg_*_test.cpp "
                        "(postgres) or fb_*_test.cpp (firebird) so that it gets that label")
  endif()
endfunction()

function(_qm_test_executable name sources labels deps)
  add_executable(${name} ${sources})
  # A suite sees the layers it links (see qm_layer) and the shared test helpers.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${deps} GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS)
  # Labels go on in a file of their own, read after the discovered tests: given to
  # gtest_discover_tests, a list of labels is split into separate properties.
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_file} "if(${name}_TESTS)\n"
                           "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
                           "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()
