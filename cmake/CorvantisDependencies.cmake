# libzstd and libxxhash as the imported targets Corvantis::zstd and
# Corvantis::xxhash: pkg-config first, then a plain header and library search
# (for systems without pkg-config files). A missing one stops the configure
# with the package to install.
if(TARGET Corvantis::zstd AND TARGET Corvantis::xxhash)
  return()
endif()
find_package(PkgConfig QUIET)

function(corvantis_find_dependency target module header library packages)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(CORVANTIS_PC_${module} QUIET IMPORTED_TARGET GLOBAL ${module})
    if(CORVANTIS_PC_${module}_FOUND)
      add_library(${target} ALIAS PkgConfig::CORVANTIS_PC_${module})
      return()
    endif()
  endif()
  find_path(CORVANTIS_${module}_INCLUDE ${header})
  find_library(CORVANTIS_${module}_LIBRARY ${library})
  if(NOT CORVANTIS_${module}_INCLUDE OR NOT CORVANTIS_${module}_LIBRARY)
    message(FATAL_ERROR "${module} was not found (${header}, lib${library}); it is required. Install it: ${packages}")
  endif()
  add_library(${target} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${CORVANTIS_${module}_LIBRARY}
                                             INTERFACE_INCLUDE_DIRECTORIES ${CORVANTIS_${module}_INCLUDE})
endfunction()

corvantis_find_dependency(Corvantis::zstd libzstd zstd.h zstd
  "Debian/Ubuntu: apt-get install libzstd-dev; Fedora: dnf install libzstd-devel; Homebrew: brew install zstd")
corvantis_find_dependency(Corvantis::xxhash libxxhash xxhash.h xxhash
  "Debian/Ubuntu: apt-get install libxxhash-dev; Fedora: dnf install xxhash-devel; Homebrew: brew install xxhash")
