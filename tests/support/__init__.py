"""Test helpers shared by the test folders (servers and stubs, no tests)."""
