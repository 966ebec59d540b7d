# Sourced by the CI steps that need an optimised build without the test suite (the benchmarks
# and the Debian package): one Release build in build-release, configured the same way by each so
# that the second step finds everything already compiled.
release_build_dir=build-release
configure_release_build() {
  cmake -S . -B "$release_build_dir" -DCMAKE_BUILD_TYPE=Release -DZOLVANE_BUILD_TESTS=OFF \
    -DZOLVANE_BUILD_BENCHMARKS=ON -DZOLVANE_PACKAGE_DEB=ON -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_DOCDIR=share/doc/zolvane -DCMAKE_SKIP_INSTALL_RPATH=ON >/dev/null
}
