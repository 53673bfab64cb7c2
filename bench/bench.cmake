# The benchmark's programs (see bench/run.sh). The driver links
# libmpread.so.0 the way any CGI program would; the floor links nothing.
set(MPREAD_BENCH_DIR ${CMAKE_BINARY_DIR}/bench)

add_executable(bench_driver ${PROJECT_SOURCE_DIR}/bench/driver.c)
target_link_libraries(bench_driver PRIVATE mpread)

add_executable(bench_floor ${PROJECT_SOURCE_DIR}/bench/floor.c)
add_executable(bench_measure ${PROJECT_SOURCE_DIR}/bench/measure.c)
add_executable(bench_run ${PROJECT_SOURCE_DIR}/bench/bench.cpp)

foreach(t bench_driver bench_floor bench_measure bench_run)
  string(REPLACE "bench_" "" name ${t})
  set_target_properties(${t} PROPERTIES OUTPUT_NAME ${name}
                        RUNTIME_OUTPUT_DIRECTORY ${MPREAD_BENCH_DIR})
  target_compile_options(${t} PRIVATE -Wall -Wextra)
endforeach()

add_custom_target(bench_tools
  DEPENDS bench_driver bench_floor bench_measure bench_run)
