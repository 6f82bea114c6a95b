# Every tests/<layer>/tst_<unit>.cpp becomes one executable and one CTest test.
# A layer's tests link only that layer (and the simulator, which stands in for the instrument).
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

function(tallyscope_add_tests layer label)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${layer}/tst_*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(name ${src} NAME_WE)
    set(target ${layer}_${name})
    add_executable(${target} ${src})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARGN} Qt6::Test)
    # Under Wine the window tests draw real windows (Wine's own windows plugin, on the display
    # the run provides): what the panel stores of its geometry is what Windows reports.
    set(args "")
    if(TALLYSCOPE_TEST_HOST_ROOT AND layer STREQUAL "app")
      set(args -platform windows)
    endif()
    add_test(NAME ${layer}/${name} COMMAND ${target} ${args})
    # Each test gets its own settings and runtime folders, so tests never touch the
    # user's own store and can run in parallel.
    set(home ${CMAKE_BINARY_DIR}/testhome/${target})
    file(MAKE_DIRECTORY ${home}/config ${home}/runtime ${home}/data)
    set_tests_properties(${layer}/${name} PROPERTIES
      LABELS ${label}
      TIMEOUT ${TALLYSCOPE_TEST_TIMEOUT}
      ENVIRONMENT "QT_QPA_PLATFORM=${TALLYSCOPE_TEST_QPA};XDG_CONFIG_HOME=${home}/config;XDG_RUNTIME_DIR=${home}/runtime;TALLYSCOPE_TEST_DATA=${_root}${home}/data;HOME=${home}")
  endforeach()
endfunction()

tallyscope_add_tests(platform unit tallyscope_platform)
tallyscope_add_tests(link unit tallyscope_link tallyscope_simlib)
tallyscope_add_tests(measure unit tallyscope_measure tallyscope_simlib)
tallyscope_add_tests(control unit tallyscope_control tallyscope_simlib)
tallyscope_add_tests(session unit tallyscope_session tallyscope_simlib)
tallyscope_add_tests(remote unit tallyscope_remote tallyscope_simlib)
tallyscope_add_tests(update unit tallyscope_update)
tallyscope_add_tests(sim integration tallyscope_simlib)
tallyscope_add_tests(app gui tallyscope_gui)
tallyscope_add_tests(tools integration tallyscope_tools tallyscope_simlib)

if(TALLYSCOPE_TEST_HOST_ROOT)
  # Gigabytes through loopback in seconds: Wine's sockets go through its server and take
  # minutes for what Linux does in seconds.
  set_tests_properties(sim/tst_blast PROPERTIES DISABLED TRUE)
endif()

# The command table is checked against the table of the document that lists the commands for users.
target_compile_definitions(remote_tst_scpicommands PRIVATE TALLYSCOPE_COMMAND_DOC="${_root}${CMAKE_SOURCE_DIR}/README.md")

# The panel as a process of its own, for the test that kills it mid-run.
add_executable(panel_child ${CMAKE_SOURCE_DIR}/tests/app/panelchild.cpp)
target_include_directories(panel_child PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(panel_child PRIVATE tallyscope_gui)
add_dependencies(app_tst_faults panel_child)
set_tests_properties(app/tst_faults PROPERTIES LABELS integration TIMEOUT 240)
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
set_tests_properties(app/tst_sessionrecording tools/tst_headlessrecorder PROPERTIES LABELS integration TIMEOUT 240)
add_dependencies(tools_tst_commandline tallyscope tallyscope-sim tallyscope-record tallyscope-replay tallyscope-updater tallyscope-server)
target_compile_definitions(tools_tst_commandline PRIVATE
  TALLYSCOPE_EXE="${_root}$<TARGET_FILE:tallyscope>"
  TALLYSCOPE_SIM_EXE="${_root}$<TARGET_FILE:tallyscope-sim>"
  TALLYSCOPE_RECORD_EXE="${_root}$<TARGET_FILE:tallyscope-record>"
  TALLYSCOPE_REPLAY_EXE="${_root}$<TARGET_FILE:tallyscope-replay>"
  TALLYSCOPE_SERVER_EXE="${_root}$<TARGET_FILE:tallyscope-server>"
  TALLYSCOPE_UPDATER_EXE="${_root}$<TARGET_FILE:tallyscope-updater>")
set_tests_properties(tools/tst_commandline PROPERTIES LABELS integration)
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
