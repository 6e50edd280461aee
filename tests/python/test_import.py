import corvantis_core


def test_module_imports_from_installed_location():
    assert corvantis_core.__name__ == "corvantis_core"
    assert not corvantis_core.__file__.startswith(str(__import__("pathlib").Path(__file__).parents[2] / "src"))
