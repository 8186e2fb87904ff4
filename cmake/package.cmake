# The library others link: libmorvenak.a, the objects of the library's layers
# (MORVENAK_ENGINE_LAYERS) in one archive, its headers include/morvenak/
# (analysis.hpp and model.hpp, written at build time from the engine's own by
# cmake/public-headers.cmake), a CMake package (find_package(morvenak) gives
# morvenak::morvenak) and a pkg-config file. Needs cmake/layers.cmake first.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MORVENAK_PUBLIC_INCLUDE ${PROJECT_BINARY_DIR}/include)
set(MORVENAK_PUBLIC_HEADERS ${MORVENAK_PUBLIC_INCLUDE}/morvenak/analysis.hpp ${MORVENAK_PUBLIC_INCLUDE}/morvenak/model.hpp)
add_custom_command(
  OUTPUT ${MORVENAK_PUBLIC_HEADERS}
  COMMAND ${CMAKE_COMMAND} -DSRC=${PROJECT_SOURCE_DIR}/src -DOUT=${MORVENAK_PUBLIC_INCLUDE}
          -P ${PROJECT_SOURCE_DIR}/cmake/public-headers.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/src/api/morvenak/analysis.hpp ${PROJECT_SOURCE_DIR}/src/core/core/model.hpp
          ${PROJECT_SOURCE_DIR}/cmake/public-headers.cmake
  COMMENT "Writing the installed headers include/morvenak/analysis.hpp and model.hpp")
add_custom_target(morvenak_public_headers ALL DEPENDS ${MORVENAK_PUBLIC_HEADERS})

set(objects)
foreach(name ${MORVENAK_ENGINE_LAYERS})
  list(APPEND objects $<TARGET_OBJECTS:morvenak_${name}_objects>)
endforeach()
add_library(morvenak_library STATIC ${objects})
add_library(morvenak::morvenak ALIAS morvenak_library)
add_dependencies(morvenak_library morvenak_public_headers)
set_target_properties(morvenak_library PROPERTIES OUTPUT_NAME morvenak EXPORT_NAME morvenak)
target_include_directories(morvenak_library INTERFACE $<BUILD_INTERFACE:${MORVENAK_PUBLIC_INCLUDE}>
                                                      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(morvenak_library INTERFACE cxx_std_17)
target_link_libraries(morvenak_library INTERFACE Threads::Threads)

set(MORVENAK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/morvenak)
install(TARGETS morvenak_library EXPORT morvenak-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${MORVENAK_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/morvenak)
install(EXPORT morvenak-targets NAMESPACE morvenak:: DESTINATION ${MORVENAK_CMAKE_DIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/morvenak-config.cmake.in ${PROJECT_BINARY_DIR}/morvenak-config.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/morvenak-config-version.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/morvenak-config.cmake ${PROJECT_BINARY_DIR}/morvenak-config-version.cmake
        DESTINATION ${MORVENAK_CMAKE_DIR})

# The prefix as a path from the .pc file's folder, so that the file holds
# wherever `cmake --install --prefix` puts it.
file(RELATIVE_PATH MORVENAK_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/morvenak.pc.in ${PROJECT_BINARY_DIR}/morvenak.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/morvenak.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
