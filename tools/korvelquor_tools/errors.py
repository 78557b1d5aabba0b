"""The one error of the tools that users catch."""


class RecordingError(Exception):
    """The file cannot be read as a korvelquor recording; the message names the file and
    what was expected."""
