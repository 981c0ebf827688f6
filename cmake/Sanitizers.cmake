# AddressSanitizer and UndefinedBehaviorSanitizer for the whole build (library, tools, tests).
if(TARVIK_SANITIZE)
    set(_tarvik_san -fsanitize=address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
    add_compile_options(${_tarvik_san})
    add_link_options(${_tarvik_san})
endif()
