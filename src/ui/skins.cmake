# Skins and the button bitmap cache: their own static library, dw_skins.
if(NOT TARGET PkgConfig::LIBZIP)
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET GLOBAL libzip)
endif()

add_library(dw_skins STATIC
  skins.cpp skins.h
  bitmapcache.cpp bitmapcache.h)
target_include_directories(dw_skins PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# The zip library is loaded with the first zip skin read: only its headers are used.
target_link_libraries(dw_skins PUBLIC dw_net dw_config dw_platform dw_diag Qt6::Gui
  dw_servers)
target_include_directories(dw_skins PRIVATE ${LIBZIP_INCLUDE_DIRS})

# The default skin's pictures are also built in, as the look that stays when a skin
# lacks a picture; the station list's pictures live only here.
file(GLOB DW_DEFAULT_SKIN_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/skins/default/*)
qt_add_resources(dw_skins dw_skin_default PREFIX /skins/default
  BASE ${PROJECT_SOURCE_DIR}/skins/default FILES ${DW_DEFAULT_SKIN_FILES})
qt_add_resources(dw_skins dw_skin_images PREFIX /images
  BASE ${CMAKE_CURRENT_SOURCE_DIR}/images
  FILES images/listimages.png images/gradimage2.png images/pagetabs.png)

# The shipped default skin beside the executable, installed into the program folder on
# first start.
set(DW_SKIN_STAGE ${PROJECT_BINARY_DIR}/src/app/skins/default)
set(DW_SKIN_STAGED)
foreach(f ${DW_DEFAULT_SKIN_FILES})
  get_filename_component(n ${f} NAME)
  add_custom_command(OUTPUT ${DW_SKIN_STAGE}/${n}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DW_SKIN_STAGE}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${f} ${DW_SKIN_STAGE}/${n}
    DEPENDS ${f} VERBATIM)
  list(APPEND DW_SKIN_STAGED ${DW_SKIN_STAGE}/${n})
endforeach()
add_custom_target(dw_default_skin ALL DEPENDS ${DW_SKIN_STAGED})
add_dependencies(dw_skins dw_default_skin)
