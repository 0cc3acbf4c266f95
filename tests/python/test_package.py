"""The package around the extension: `mirel` is a directory whose `__init__` is the extension
module, named with the running interpreter's own extension suffix, so that every interpreter
(CPython, PyPy, 32-bit ARM builds) imports it; `import mirel` loads nothing else."""

import os
import subprocess
import sys
import sysconfig

import mirel


def test_extension_is_the_package_init_with_the_interpreters_suffix():
    path = mirel.__file__
    assert os.path.basename(path) == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
    assert os.path.basename(os.path.dirname(path)) == "mirel"
    assert list(mirel.__path__) == [os.path.dirname(path)]
    assert mirel.__spec__.origin == path and mirel.__spec__.submodule_search_locations


def test_import_mirel_imports_no_optional_dependency_or_submodule():
    code = (
        "import sys; import mirel; "
        "bad = sorted(m for m in sys.modules if m.split('.')[0] in "
        "('sklearn', 'pandas', 'dask', 'distributed', 'scipy') or m.startswith('mirel.')); "
        "print(bad)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
