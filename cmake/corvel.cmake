# Build rules shared by every target of the project.

# Warnings are errors on our own code; third-party headers come in as system headers.
add_library(corvel_warnings INTERFACE)
if(MSVC)
  target_compile_options(corvel_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(corvel_warnings INTERFACE -Wall -Wextra -Werror
    -Wno-unused-parameter -Wno-missing-field-initializers)
endif()

if(CORVEL_SANITIZE)
  add_compile_options(-fsanitize=${CORVEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CORVEL_SANITIZE})
endif()

if(WIN32)
  # Windows programs run without MinGW DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

# corvel_library(name SOURCE_DIR dir DEPENDS ...): a static library of every .cpp in dir.
function(corvel_library name)
  cmake_parse_arguments(ARG "" "SOURCE_DIR" "DEPENDS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCE_DIR}/*.cpp)
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_SOURCE_DIR}/${excluded})
  endforeach()
  if(NOT sources)
    # A subsystem without sources yet is only its headers and dependencies.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE corvel_warnings)
endfunction()

# corvel_test(name SOURCE_DIR dir DEPENDS ... LABELS ...): one GoogleTest program of every .cpp in dir.
# The label tsan marks the programs that the ThreadSanitizer stage runs; SERIAL
# programs run alone (they use fixed ports).
function(corvel_test name)
  cmake_parse_arguments(ARG "SERIAL" "SOURCE_DIR" "DEPENDS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} corvel_gtest corvel_warnings)
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name})
  else()
    include(GoogleTest)
    set(serial FALSE)
    if(ARG_SERIAL)
      set(serial TRUE)
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES RUN_SERIAL ${serial})
    # The labels are set by a script of their own that CTest reads after the
    # discovered tests (given to gtest_discover_tests, a second label would be
    # read as a property name). Until the program is built CTest lists it as
    # ${name}_NOT_BUILT; that entry carries the labels too, so that
    # `ctest -N -L <label>` names the programs to build (the TSan stage
    # selects its programs so).
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(GENERATE OUTPUT ${labels_file} CONTENT
      "if(DEFINED ${name}_TESTS)
  foreach(test IN LISTS ${name}_TESTS)
    set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\")
  endforeach()
else()
  set_tests_properties(${name}_NOT_BUILT PROPERTIES LABELS \"${ARG_LABELS}\")
endif()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()
