"""Arrow tables: read_arrow and write_arrow over the native reader and
writer, and the one text rule for typed columns."""
