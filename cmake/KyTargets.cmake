# Common settings for the project's own targets.

set(KY_HEADER_ROOT ${CMAKE_INSTALL_INCLUDEDIR}/KyBasicLib)

function(ky_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KY_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(KY_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(KY_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ky_library(NAME SOURCES... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...])
# A shared library of ours: one copy of its state per process, whoever links it.
function(ky_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(KyBasicLib::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${KY_HEADER_ROOT}>)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION}
                        SOVERSION ${PROJECT_VERSION_MAJOR})
  ky_warnings(${name})
  install(TARGETS ${name} EXPORT KyBasicLibTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# Installs the public headers of a folder, keeping the tree below the repository root.
function(ky_install_headers dir)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${KY_HEADER_ROOT}/${dir}
          FILES_MATCHING PATTERN "*.h")
endfunction()
