# The project's build rules, defined once for every tree that compiles the
# driver: the normal and sanitizer trees, the fuzzer's, the i386 link check,
# the kernel image and the 32-bit simulator. Include it from any CMake
# project of the repository: include(${...}/cmake/hba.cmake).
include_guard(GLOBAL)

get_filename_component(HBA_TOP ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# Every warning on, every warning an error.
set(HBA_WARNINGS -Wall -Wextra -Werror -Wshadow -Wno-missing-field-initializers)

# The miniport: every source under driver/ is part of it. Its own headers
# (driver/include) are for the driver and its tests' inspection module; the
# port-driver interface (driver/interface/miniport.h) is all that anything
# standing where the port driver or the hardware stands may see.
set(HBA_DRIVER_INCLUDE ${HBA_TOP}/driver/include)
set(HBA_MINIPORT_INCLUDE ${HBA_TOP}/driver/interface)
file(GLOB_RECURSE HBA_DRIVER_SOURCES CONFIGURE_DEPENDS ${HBA_TOP}/driver/*.cpp)

# Freestanding C-style C++17: no heap, no exceptions, no RTTI, no static
# constructors, and no library call the compiler would invent for a loop
# (a kernel has no memset to call).
set(HBA_DRIVER_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND HBA_DRIVER_FLAGS -fno-tree-loop-distribute-patterns)
endif()

# hbasim's scenario reader, campaign, adapter table, model errors and outputs,
# for every build of hbasim.
set(HBA_HBASIM_CORE_SOURCES
  ${HBA_TOP}/tools/hbasim/scenario.cpp
  ${HBA_TOP}/tools/hbasim/campaign.cpp
  ${HBA_TOP}/tools/hbasim/adapter_table.cpp
  ${HBA_TOP}/tools/hbasim/model_errors.cpp
  ${HBA_TOP}/tools/hbasim/bus_trace.cpp
  ${HBA_TOP}/tools/hbasim/vcd.cpp
  ${HBA_TOP}/tools/hbasim/results.cpp
  ${HBA_TOP}/tools/hbasim/sweep.cpp)

# hba_add_driver(NAME): the driver as a static library with its flags and
# warnings, its headers public; and `miniport`, the interface target that
# carries miniport.h alone, for the simulator, the tools and the glue.
function(hba_add_driver name)
  if(NOT TARGET miniport)
    add_library(miniport INTERFACE)
    target_include_directories(miniport INTERFACE ${HBA_MINIPORT_INCLUDE})
  endif()
  add_library(${name} STATIC ${HBA_DRIVER_SOURCES})
  target_include_directories(${name} PUBLIC ${HBA_DRIVER_INCLUDE})
  target_link_libraries(${name} PUBLIC miniport)
  set_target_properties(${name} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  target_compile_options(${name} PRIVATE ${HBA_WARNINGS} ${HBA_DRIVER_FLAGS})
endfunction()
