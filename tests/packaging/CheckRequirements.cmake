# What configuring asks of the machine: neither a plain configure nor the preset that ./murox.sh
# configures looks for GoogleTest or Google Benchmark, nor without line editing for libedit. Each in
# a fresh folder. (How a configure names what it lacks: build.scripts, through ./murox.sh.)

cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
set(without -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
            -DMUROX_LINE_EDITING=OFF)
foreach(preset "" --preset=host)
    run("configuring ${preset}" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/folder${preset}
        ${preset} ${without})
endforeach()
