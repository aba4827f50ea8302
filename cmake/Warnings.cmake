# One place for the warning flags of every target of the project.
add_compile_options(-Wall -Wextra -Werror)
