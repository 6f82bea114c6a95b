# Every tests/<folder>/tst_<unit>.cpp becomes one executable and one CTest test, <folder>/tst_<unit>.
# A test sits in the folder of the unit it tests (tests/measure/gui/ for measure/gui/) and links
# that unit's library and the stand-ins it needs, nothing above; tests/README.md says what each
# folder may include, and cmake/TallyscopeLayers.cmake holds the tests to it.
find_package(Qt6 REQUIRED COMPONENTS Test)

# Under Wine the tests are Windows programs: the build machine's paths they are handed (programs
# to start, the test data folder) need the drive Wine maps the root of the file system to.
set(TALLYSCOPE_TEST_HOST_ROOT "")
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
  set(TALLYSCOPE_TEST_HOST_ROOT "Z:")
endif()
set(_root "${TALLYSCOPE_TEST_HOST_ROOT}")
# Every program under Wine starts slower, and the window tests draw real windows there.
set(TALLYSCOPE_TEST_TIMEOUT 120)
if(TALLYSCOPE_TEST_HOST_ROOT)
  set(TALLYSCOPE_TEST_TIMEOUT 300)
endif()
# The platform plugin the widget tests draw with: offscreen, which Qt builds only with FreeType;
# the Windows toolchain's Qt has none, and draws with its minimal plugin and the system's fonts.
set(TALLYSCOPE_TEST_QPA "offscreen" CACHE STRING "QT_QPA_PLATFORM for the tests")
if(WIN32 AND NOT EXISTS "${Qt6_DIR}/../../../plugins/platforms/qoffscreen.dll")
  set(TALLYSCOPE_TEST_QPA "minimal:enable_fonts" CACHE STRING "QT_QPA_PLATFORM for the tests" FORCE)
endif()

# tallyscope_add_tests(<folder> LABEL <label> LINKS <library>... [FAKES <library>...] [WINDOWS]
#                      [TEST <tst_name> [LABEL <label>] [TIMEOUT <seconds>] [LINKS <library>...]
#                                       [FAKES <library>...] [WINDOWS]]...)
#   <folder>  tests/<folder>/tst_*.cpp, e.g. link or measure/gui; the CTest name is
#             <folder>/tst_<unit>, the target <folder, / as _>_tst_<unit> (measure_gui_tst_folderpicker)
#   LABEL     unit, integration or gui
#   LINKS     the library of the unit under test
#   FAKES     stand-ins linked beside it: the simulator, in place of the instrument (the fakes of
#             tests/common/ are headers and need no library)
#   WINDOWS   the tests draw windows
#   TEST      one test's own label or timeout, or what it links beyond the folder's (say why)
set_property(GLOBAL PROPERTY TALLYSCOPE_TEST_SOURCES "")

function(tallyscope_add_tests folder)
  # The folder's arguments come first; each TEST starts one test's own.
  set(group _folder)
  set(args__folder "")
  set(named "")
  set(expect_name FALSE)
  foreach(arg IN LISTS ARGN)
    if(expect_name)
      set(group ${arg})
      set(args_${arg} "")
      list(APPEND named ${arg})
      set(expect_name FALSE)
    elseif(arg STREQUAL "TEST")
      set(expect_name TRUE)
    else()
      list(APPEND args_${group} ${arg})
    endif()
  endforeach()
  cmake_parse_arguments(f "WINDOWS" "LABEL" "LINKS;FAKES" ${args__folder})
  if(NOT f_LABEL OR NOT f_LINKS OR f_UNPARSED_ARGUMENTS OR expect_name)
    message(FATAL_ERROR "tallyscope_add_tests(${folder}): needs LABEL and LINKS; not understood: ${f_UNPARSED_ARGUMENTS}")
  endif()
  foreach(name IN LISTS named)
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/tests/${folder}/${name}.cpp)
      message(FATAL_ERROR "tallyscope_add_tests(${folder}): TEST ${name}, but there is no tests/${folder}/${name}.cpp")
    endif()
  endforeach()

  string(REPLACE "/" "_" prefix "${folder}")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/tst_*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(name ${src} NAME_WE)
    set(label ${f_LABEL})
    set(timeout ${TALLYSCOPE_TEST_TIMEOUT})
    set(libraries ${f_LINKS} ${f_FAKES})
    set(windows ${f_WINDOWS})
    if(name IN_LIST named)
      cmake_parse_arguments(t "WINDOWS" "LABEL;TIMEOUT" "LINKS;FAKES" ${args_${name}})
      if(t_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tallyscope_add_tests(${folder}): TEST ${name}: not understood: ${t_UNPARSED_ARGUMENTS}")
      endif()
      if(t_LABEL)
        set(label ${t_LABEL})
      endif()
      if(t_TIMEOUT)
        set(timeout ${t_TIMEOUT})
      endif()
      if(t_WINDOWS)
        set(windows TRUE)
      endif()
      list(APPEND libraries ${t_LINKS} ${t_FAKES})
    endif()
    set(target ${prefix}_${name})
    add_executable(${target} ${src})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${libraries} Qt6::Test)
    # Under Wine the window tests draw real windows (Wine's own windows plugin, on the display
    # the run provides): what the panel stores of its geometry is what Windows reports.
    set(args "")
    if(TALLYSCOPE_TEST_HOST_ROOT AND windows)
      set(args -platform windows)
    endif()
    add_test(NAME ${folder}/${name} COMMAND ${target} ${args})
    # Each test gets its own settings and runtime folders, so tests never touch the
    # user's own store and can run in parallel.
    set(home ${CMAKE_BINARY_DIR}/testhome/${target})
    file(MAKE_DIRECTORY ${home}/config ${home}/runtime ${home}/data)
    set_tests_properties(${folder}/${name} PROPERTIES
      LABELS ${label}
      TIMEOUT ${timeout}
      ENVIRONMENT "QT_QPA_PLATFORM=${TALLYSCOPE_TEST_QPA};XDG_CONFIG_HOME=${home}/config;XDG_RUNTIME_DIR=${home}/runtime;TALLYSCOPE_TEST_DATA=${_root}${home}/data;HOME=${home}")
    set_property(GLOBAL APPEND PROPERTY TALLYSCOPE_TEST_SOURCES ${src})
  endforeach()
endfunction()

tallyscope_add_tests(platform LABEL unit LINKS tallyscope_platform)
tallyscope_add_tests(link LABEL unit LINKS tallyscope_link
  # Register and calibration replies are checked through the real capture and models of
  # control/, the counts at each file write through measure/'s run statistics.
  TEST tst_replydecoder LINKS tallyscope_control tallyscope_measure)
tallyscope_add_tests(measure LABEL unit LINKS tallyscope_measure)
tallyscope_add_tests(measure/gui LABEL gui LINKS tallyscope_measure_gui WINDOWS
  # One case shows what a session decodes, wired as the panel wires it.
  TEST tst_histogramwindow LINKS tallyscope_session)
tallyscope_add_tests(control LABEL unit LINKS tallyscope_control)
tallyscope_add_tests(session LABEL unit LINKS tallyscope_session)
tallyscope_add_tests(remote LABEL unit LINKS tallyscope_remote FAKES tallyscope_simlib)
tallyscope_add_tests(update LABEL unit LINKS tallyscope_update)
tallyscope_add_tests(sim LABEL integration LINKS tallyscope_simlib)
tallyscope_add_tests(app LABEL gui LINKS tallyscope_gui WINDOWS
  TEST tst_faults LABEL integration TIMEOUT 240
  TEST tst_sessionrecording LABEL integration TIMEOUT 240)
tallyscope_add_tests(tools LABEL integration LINKS tallyscope_tools FAKES tallyscope_simlib)
tallyscope_add_tests(tools/record LABEL integration LINKS tallyscope_tools FAKES tallyscope_simlib
  TEST tst_headlessrecorder TIMEOUT 240)
tallyscope_add_tests(tools/server LABEL integration LINKS tallyscope_tools FAKES tallyscope_simlib)

# A test in a folder that no call above names would silently never build.
file(GLOB_RECURSE _all_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tst_*.cpp)
get_property(_claimed GLOBAL PROPERTY TALLYSCOPE_TEST_SOURCES)
foreach(src IN LISTS _all_tests)
  if(NOT src IN_LIST _claimed)
    file(RELATIVE_PATH shown ${CMAKE_SOURCE_DIR} ${src})
    message(FATAL_ERROR "${shown}: its folder has no tallyscope_add_tests() in cmake/TallyscopeTests.cmake")
  endif()
endforeach()

if(TALLYSCOPE_TEST_HOST_ROOT)
  # Gigabytes through loopback in seconds: Wine's sockets go through its server and take
  # minutes for what Linux does in seconds.
  set_tests_properties(sim/tst_blast PROPERTIES DISABLED TRUE)
endif()

# The command table is checked against the table of the document that lists the commands for users.
target_compile_definitions(remote_tst_scpicommands PRIVATE TALLYSCOPE_COMMAND_DOC="${_root}${CMAKE_SOURCE_DIR}/docs/scripting.md")

# The panel as a process of its own, for the test that kills it mid-run.
add_executable(panel_child ${CMAKE_SOURCE_DIR}/tests/app/panelchild.cpp)
target_include_directories(panel_child PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(panel_child PRIVATE tallyscope_gui)
add_dependencies(app_tst_faults panel_child)
# The one end-to-end run over TCP goes against the simulator as a process.
add_dependencies(app_tst_endtoend tallyscope-sim)
target_compile_definitions(app_tst_endtoend PRIVATE TALLYSCOPE_SIM_EXE="${_root}$<TARGET_FILE:tallyscope-sim>")

# ---- The panel program the self-update tests install, replace and restart ----
# One small program; the tests append the line that says how each copy behaves. Linked
# statically on Windows so that a copy runs from a temporary folder with no runtime beside it.
add_executable(update_standin ${CMAKE_SOURCE_DIR}/tests/update/standinpanel.cpp)
set_target_properties(update_standin PROPERTIES AUTOMOC OFF)
if(MINGW)
  target_link_options(update_standin PRIVATE -static)
endif()
add_dependencies(update_tst_updateloopback update_standin)
target_compile_definitions(update_tst_updateloopback PRIVATE TALLYSCOPE_STANDIN_EXE="${_root}$<TARGET_FILE:update_standin>")
# ---- end of the panel program for the self-update tests ----

# ---- Command-line tools: the tests that run tallyscope-replay and tallyscope-record ----
foreach(t app_tst_sessionrecording)
  add_dependencies(${t} tallyscope-replay tallyscope-record)
  target_compile_definitions(${t} PRIVATE
    TALLYSCOPE_REPLAY_EXE="${_root}$<TARGET_FILE:tallyscope-replay>"
    TALLYSCOPE_RECORD_EXE="${_root}$<TARGET_FILE:tallyscope-record>")
endforeach()
add_dependencies(tools_tst_commandline tallyscope tallyscope-sim tallyscope-record tallyscope-replay tallyscope-updater tallyscope-server)
target_compile_definitions(tools_tst_commandline PRIVATE
  TALLYSCOPE_EXE="${_root}$<TARGET_FILE:tallyscope>"
  TALLYSCOPE_SIM_EXE="${_root}$<TARGET_FILE:tallyscope-sim>"
  TALLYSCOPE_RECORD_EXE="${_root}$<TARGET_FILE:tallyscope-record>"
  TALLYSCOPE_REPLAY_EXE="${_root}$<TARGET_FILE:tallyscope-replay>"
  TALLYSCOPE_SERVER_EXE="${_root}$<TARGET_FILE:tallyscope-server>"
  TALLYSCOPE_UPDATER_EXE="${_root}$<TARGET_FILE:tallyscope-updater>")
# ---- end of command-line tools ----

# ---- PyVISA against the control port: a real client, panel and server, each fed by tallyscope-sim ----
# Debian's interpreter first: that is where python3-pyvisa lives, whatever python3 is first on PATH.
find_program(TALLYSCOPE_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(TALLYSCOPE_PYTHON3 python3)
# Deferred: the front ends may be defined after this file is read.
function(tallyscope_pyvisa_tests)
  # They start the front ends as the build machine's own programs; a cross-built Windows program
  # needs a Windows Python with PyVISA beside it.
  if(NOT TALLYSCOPE_PYTHON3 OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  foreach(front panel server)
    set(exe tallyscope)
    if(front STREQUAL "server")
      set(exe tallyscope-server)
    endif()
    if(NOT TARGET ${exe})
      continue()
    endif()
    add_test(NAME remote/pyvisa_${front}
      COMMAND ${TALLYSCOPE_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/remote/pyvisa_session.py --front ${front}
              --exe $<TARGET_FILE:${exe}> --sim $<TARGET_FILE:tallyscope-sim>)
    # 77: PyVISA is not installed.
    set_tests_properties(remote/pyvisa_${front} PROPERTIES LABELS remote TIMEOUT 300 SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
cmake_language(DEFER CALL tallyscope_pyvisa_tests)
# ---- end of PyVISA ----

# ---- The Python driver (python/tallyscope/driver.py) against tallyscope-server fed by tallyscope-sim ----
# Deferred like the PyVISA tests: the programs may be defined after this file is read.
function(tallyscope_python_driver_tests)
  if(NOT TALLYSCOPE_PYTHON3 OR CMAKE_CROSSCOMPILING OR NOT TARGET tallyscope-server OR NOT TARGET tallyscope-sim)
    return()
  endif()
  execute_process(COMMAND ${TALLYSCOPE_PYTHON3} -c "import pytest" RESULT_VARIABLE no_pytest OUTPUT_QUIET ERROR_QUIET)
  if(no_pytest)
    # Shown as skipped rather than left out, so that a machine without pytest says so.
    set(command ${TALLYSCOPE_PYTHON3} -c "print('SKIP: no pytest'); raise SystemExit(77)")
  else()
    set(command ${TALLYSCOPE_PYTHON3} -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/tests/python/test_driver.py)
  endif()
  add_test(NAME python/driver COMMAND ${command})
  # 77: PyVISA or numpy is not installed. No bytecode left in the source tree.
  set_tests_properties(python/driver PROPERTIES LABELS python TIMEOUT 300 SKIP_RETURN_CODE 77
    ENVIRONMENT "TALLYSCOPE_SERVER_EXE=$<TARGET_FILE:tallyscope-server>;TALLYSCOPE_SIM_EXE=$<TARGET_FILE:tallyscope-sim>;PYTHONDONTWRITEBYTECODE=1")
endfunction()
cmake_language(DEFER CALL tallyscope_python_driver_tests)
# ---- end of the Python driver ----
# ---- The tallyscope Python package's readers, against files the real programs write ----
# Deferred like the PyVISA tests: the programs may be defined after this file is read.
function(tallyscope_python_reader_tests)
  # The tests run the build machine's own programs from Python.
  if(NOT TALLYSCOPE_PYTHON3 OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  foreach(exe tallyscope-sim tallyscope-record tallyscope-replay)
    if(NOT TARGET ${exe})
      return()
    endif()
  endforeach()
  set(tests ${CMAKE_SOURCE_DIR}/tests/python)
  # The guard runs pytest as `-m pytest` would, or says "skipped" (77) without pytest or numpy.
  add_test(NAME python/readers
    COMMAND ${TALLYSCOPE_PYTHON3} ${tests}/pytest_or_skip.py -q -p no:cacheprovider ${tests} --ignore=${tests}/test_driver.py)
  set(home ${CMAKE_BINARY_DIR}/testhome/python_readers)
  file(MAKE_DIRECTORY ${home})
  set_tests_properties(python/readers PROPERTIES
    LABELS python
    TIMEOUT 300
    SKIP_RETURN_CODE 77
    # No __pycache__ in the source tree, and no test data outside the build tree.
    ENVIRONMENT "PYTHONPATH=${CMAKE_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1;TMPDIR=${home};HOME=${home};TALLYSCOPE_SIM_EXE=$<TARGET_FILE:tallyscope-sim>;TALLYSCOPE_RECORD_EXE=$<TARGET_FILE:tallyscope-record>;TALLYSCOPE_REPLAY_EXE=$<TARGET_FILE:tallyscope-replay>")
endfunction()
cmake_language(DEFER CALL tallyscope_python_reader_tests)
if(TALLYSCOPE_PYTHON3 AND NOT CMAKE_CROSSCOMPILING)
  # The README's install commands, offline.
  add_test(NAME python/install COMMAND ${TALLYSCOPE_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/python/install_offline.py
                                       ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/testhome/python_install)
  set_tests_properties(python/install PROPERTIES LABELS python TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
# ---- end of the Python readers ----
