# Installs the build into PREFIX and compiles CONSUMER, then every source of the tool
# (SOURCE_DIR/cli), against that prefix alone: a public header that includes one that is not
# installed, or a tool source that needs one, fails here, so another program can do all the tool
# does.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
set(FLAGS -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I${PREFIX}/include)
execute_process(COMMAND ${CXX} ${FLAGS} ${CONSUMER} COMMAND_ERROR_IS_FATAL ANY)
# The tool's own headers, and the emulator's that `demo` embeds, come from a folder that holds
# nothing else.
file(MAKE_DIRECTORY ${PREFIX}/tool)
foreach(part cli emulator)
  file(CREATE_LINK ${SOURCE_DIR}/${part} ${PREFIX}/tool/${part} SYMBOLIC)
endforeach()
# What the build defines for the tool, given any value.
set(TOOL_DEFINES -DTOLMI_GCP_VERSION=\"0\" -DTOLMI_EXAMPLES_DIR=\"/\")
file(GLOB sources ${SOURCE_DIR}/cli/*.cpp)
foreach(source ${sources})
  execute_process(COMMAND ${CXX} ${FLAGS} -I${PREFIX}/tool ${TOOL_DEFINES} ${source}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
