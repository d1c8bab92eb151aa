"""Files and streams: whole documents, row-by-row reading and writing,
compression by suffix, and outputs that appear complete or not at all."""
