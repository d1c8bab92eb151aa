"""The `dwex` command's formats, conversions, messages and signal handling."""
