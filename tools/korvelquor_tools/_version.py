# The one version number of the project: the C++ library and its CMake package, the wheels,
# korvelquor_capture.__version__ and these tools. CMake, both pyproject.toml files and the
# package checks read it from this line.
__version__ = "0.2.0"
