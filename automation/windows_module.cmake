# The Windows control TarvoMDrv.ocx (MinGW-w64 build; included from
# automation/CMakeLists.txt).
#
# The type library is compiled from the committed TarvoMDrv.idl with widl
# (Wine's IDL compiler), which imports the standard OLE library of the
# target's width: -L names the folder of Wine's stdole2.tlb. The same run
# writes the C/C++ header of the library (TarvoMDrv_h.h) into this build
# folder for the test programs that bind to the control early.
enable_language(RC)
find_program(TARVO_WIDL widl REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TARVO_WIDL_TARGET --win32)
  set(TARVO_WINE_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH
      "Folder of the 32-bit stdole2.tlb for widl")
else()
  set(TARVO_WIDL_TARGET --win64)
  set(TARVO_WINE_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
      "Folder of the 64-bit stdole2.tlb for widl")
endif()

set(TARVO_IDL ${CMAKE_CURRENT_SOURCE_DIR}/TarvoMDrv.idl)
set(TARVO_TLB ${CMAKE_CURRENT_BINARY_DIR}/TarvoMDrv.tlb)
set(TARVO_TLB_HEADER ${CMAKE_CURRENT_BINARY_DIR}/TarvoMDrv_h.h)
add_custom_command(
  OUTPUT ${TARVO_TLB}
  COMMAND ${TARVO_WIDL} -t ${TARVO_WIDL_TARGET} -L ${TARVO_WINE_STDOLE_DIR} -o ${TARVO_TLB} ${TARVO_IDL}
  DEPENDS ${TARVO_IDL}
  COMMENT "Compiling the type library TarvoMDrv.tlb"
  VERBATIM)
add_custom_command(
  OUTPUT ${TARVO_TLB_HEADER}
  COMMAND ${TARVO_WIDL} -h ${TARVO_WIDL_TARGET} -o ${TARVO_TLB_HEADER} ${TARVO_IDL}
  DEPENDS ${TARVO_IDL}
  COMMENT "Writing the type library's header TarvoMDrv_h.h"
  VERBATIM)
add_custom_target(TarvoMDrv_tlb DEPENDS ${TARVO_TLB} ${TARVO_TLB_HEADER})

# The resource script finds the .tlb in this build folder and the bitmap next
# to the script.
set(TARVO_RC ${CMAKE_CURRENT_SOURCE_DIR}/TarvoMDrv.rc)
set_source_files_properties(${TARVO_RC} PROPERTIES
  OBJECT_DEPENDS "${TARVO_TLB};${CMAKE_CURRENT_SOURCE_DIR}/TarvoMDrv_toolbox.bmp")

add_library(TarvoMDrv SHARED module_win32.cpp ${TARVO_RC} ${CMAKE_CURRENT_SOURCE_DIR}/TarvoMDrv.def)
add_dependencies(TarvoMDrv TarvoMDrv_tlb)
target_include_directories(TarvoMDrv PRIVATE ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
set_target_properties(TarvoMDrv PROPERTIES PREFIX "" OUTPUT_NAME TarvoMDrv SUFFIX ".ocx")
target_link_libraries(TarvoMDrv PRIVATE tarvo_automation ole32 oleaut32 uuid)
# Everything (libstdc++, libgcc, winpthread) inside the module; no import
# library is needed by anyone.
target_link_options(TarvoMDrv PRIVATE -static "LINKER:--no-undefined")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The entry points are stdcall (DllGetClassObject@12 ...); the .def exports
  # them under their plain names.
  target_link_options(TarvoMDrv PRIVATE "LINKER:--enable-stdcall-fixup")
endif()
set_target_properties(TarvoMDrv PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
                                           LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
