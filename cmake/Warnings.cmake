# Warnings on everywhere; the code base is kept clean of them.
add_compile_options(-Wall -Wextra)
