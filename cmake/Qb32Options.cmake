# Compile options shared by every target of the project. Flags go on targets,
# never into the global CMAKE_CXX_FLAGS: link `qb32_options` to a target.
add_library(qb32_options INTERFACE)
target_compile_features(qb32_options INTERFACE cxx_std_20)
target_include_directories(qb32_options INTERFACE ${PROJECT_SOURCE_DIR})

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(qb32_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align -Wnull-dereference
    -Wformat=2)
  # The same bits whatever -march or -O builds it: no product is fused into a
  # sum behind the code's back (GCC would with FMA available, under
  # -march=x86-64-v3 or native); the kernels that want fused operations
  # write them out with the FMA intrinsics.
  target_compile_options(qb32_options INTERFACE -ffp-contract=off)
  # x86 targets: SSE2 is the baseline everywhere; wider instruction sets are
  # chosen at run time inside the primitives.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "i[3-6]86|x86|X86|AMD64|amd64")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_compile_options(qb32_options INTERFACE -msse2 -mfpmath=sse -mstackrealign)
    endif()
  endif()
endif()

# An instruction-set level for every target (x86-64-v3, native, ...): the
# module's bits must not depend on it; CI builds and runs the suite so.
set(QB32_MARCH "" CACHE STRING "-march for every target (empty: the compiler's default)")
if(QB32_MARCH)
  target_compile_options(qb32_options INTERFACE -march=${QB32_MARCH})
endif()

# Sanitizer builds: QB32_SANITIZE=address,undefined (or thread) on the command line.
set(QB32_SANITIZE "" CACHE STRING "Comma-separated sanitizers for every target")
if(QB32_SANITIZE)
  target_compile_options(qb32_options INTERFACE
    -fsanitize=${QB32_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(qb32_options INTERFACE -fsanitize=${QB32_SANITIZE})
endif()

# Every library of the module: static, position independent, hidden symbols.
function(qb32_module_library name)
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PUBLIC qb32_options)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
