# Run by xov_discover_tests after a build: EXE's test list, through the
# driver, written to OUT as one CTest test per entry.
#   -D EXE=... -D DRIVER=... -D OUT=... -D LABELS=a;b -D TIMEOUT=seconds
execute_process(COMMAND "${DRIVER}" list "${EXE}"
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "listing the tests of ${EXE} failed (${status}):\n${errors}")
endif()

# The exit status a skipped test's run gives, for SKIP_RETURN_CODE.
set(skip_status 77)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" names "${listing}")
set(script "# Generated from the test list of ${EXE}.\n")
foreach(name IN LISTS names)
  # A bracket argument keeps spaces, quotes and semicolons of a name as
  # they are; its level is one the name does not close.
  set(eq "=")
  string(FIND "${name}" "]${eq}]" closes)
  while(NOT closes EQUAL -1)
    string(APPEND eq "=")
    string(FIND "${name}" "]${eq}]" closes)
  endwhile()
  set(quoted "[${eq}[${name}]${eq}]")
  string(APPEND script
    "add_test(${quoted} \"${DRIVER}\" run --exact --skip-status=${skip_status} \"${EXE}\" ${quoted})\n"
    "set_tests_properties(${quoted} PROPERTIES SKIP_RETURN_CODE ${skip_status} TIMEOUT ${TIMEOUT}")
  if(LABELS)
    string(APPEND script " LABELS \"${LABELS}\"")
  endif()
  # From CMake 3.27 a timed-out test is sent SIGQUIT first: the executable
  # then reports where it was before it is killed.
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.27)
    string(APPEND script " TIMEOUT_SIGNAL_NAME SIGQUIT TIMEOUT_SIGNAL_GRACE_PERIOD 5")
  endif()
  string(APPEND script ")\n")
endforeach()
file(WRITE "${OUT}" "${script}")
