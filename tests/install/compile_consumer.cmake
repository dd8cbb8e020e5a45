# Installs the build into PREFIX and compiles CONSUMER against that prefix alone, so a public
# header that includes one that is not installed fails here.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CXX} -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only
  -I${PREFIX}/include ${CONSUMER} COMMAND_ERROR_IS_FATAL ANY)
