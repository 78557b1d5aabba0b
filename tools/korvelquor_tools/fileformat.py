"""What a korvelquor recording holds: an MCAP file, written by `korvelquor record` and the C++
Recorder through the one native writer (recording/recording_writer.hpp), whose names and
constants come from the client library (korvelquor_capture.RECORDING_FORMAT).

Header: profile "korvelquor", library "korvelquor_tools <version>".

Metadata records (MCAP Metadata, string to string):

  korvelquor.recording   the first record after the header; format_version, protocol_version
                         (the robot protocol the client spoke), serial, client_version,
                         tools_version, started_ns (wall clock); in a recording split
                         into parts, part (0, 1, ... in order)
  korvelquor.layout      group_names, start_ids, dofs (JSON objects keyed by joint-group
                         value), joint_count and, when known, extra_joint_count (the extra
                         stream's own length): the layout a client learnt at connection (one
                         that connected while the basic stream flowed, so that it has the
                         group names); export decodes with it, after checking it as the
                         client checks the robot's start-ID reply
  korvelquor.plan_info   the eight plan-info fields as text, or "error"
  korvelquor.configuration_score   "scores": JSON {group value: [first, second]}, or "error"
  korvelquor.primitive_states      "states": JSON {group value: {"pt_name", "values"}}, or
                         "error"
  korvelquor.end         written when the recording ends: stopped_by, received_<stream>
                         and dropped_<stream> (by the capture's buffer), seconds, ended_ns,
                         and error when a write failed (then the samples received after the
                         last complete chunk are not in the file). A file without it was
                         cut short. In a split recording each part's counts are its own, and
                         a part that a next one follows was stopped by "the next part".

Split (record --split-seconds / --split-mb): the folder OUT holds OUT_000000.mcap,
OUT_000001.mcap, ..., each such a file with the same records (but its part and end), the same
channels, and the samples of whole drains: the sequence numbers run on from part to part.

Channels (no schema): one per stream, topic = the robot's key expression, message encoding
"zenoh/serialized", channel metadata {"stream": "basic" | "extra"}. One message per sample
received, decodable or not, each stream in arrival order, the two merged by monotonic
receive time:

  data          the payload exactly as received
  log_time      receive time, wall clock, ns since the Unix epoch
  publish_time  the robot timestamp as ns (seconds * 1e9 + nanoseconds): the basic sample's
                own stamp, for the extra stream the latest basic stamp at arrival (the stream
                carries none); 0 where there was none or it was negative. Informational:
                readers take the robot's two words from the basic payloads themselves (an
                extra sample: the latest decodable basic one before it in the file)
  sequence      the capture's per-stream sequence number modulo 2^32 (gaps are samples the
                capture's buffer dropped)

Viewable channels (beside the raw ones, which they never change; written by `korvelquor
record` and `korvelquor export FILE --to foxglove OUT`; reading a recording ignores them):
decoded samples with schemas Foxglove knows, under the topic prefix /korvelquor, topics and
messages as listed in korvelquor_tools.viewable. log_time and publish_time are the robot
time of the sample (the extra stream: the latest basic stamp at arrival), sequence the
sample's. By default at most 100 samples a second per stream make messages (the first of
each 10 ms of robot time); `--view-rate full` keeps every sample. Metadata record
korvelquor.viewable: prefix, rate_hz ("full" or a number), schemas_version (the
foxglove-schemas-protobuf release).

Messages are chunked (zstd); the recorder closes a chunk at least once a second, so a killed
recorder loses at most the last second.
"""

from __future__ import annotations

import korvelquor_capture as _kc

# Stated once, by the client library that writes and reads the files.
FORMAT_VERSION = _kc.RECORDING_FORMAT["format_version"]
PROFILE = _kc.RECORDING_FORMAT["profile"]
PROTOCOL_VERSION = _kc.RECORDING_FORMAT["protocol_version"]  # the robot protocol it speaks
MESSAGE_ENCODING = _kc.RECORDING_FORMAT["message_encoding"]
STREAMS = _kc.RECORDING_FORMAT["streams"]  # ("basic", "extra")

_RECORDS = _kc.RECORDING_FORMAT["records"]
META_RECORDING = _RECORDS["recording"]
META_LAYOUT = _RECORDS["layout"]
META_PLAN_INFO = _RECORDS["plan_info"]
META_SCORE = _RECORDS["configuration_score"]
META_PRIMITIVES = _RECORDS["primitive_states"]
META_END = _RECORDS["end"]
META_VIEWABLE = _RECORDS["viewable"]

PLAN_INFO_FIELDS = (
    "pt_name",
    "node_name",
    "node_path",
    "node_path_time_period",
    "node_path_number",
    "assigned_plan_name",
    "velocity_scale",
    "waiting_for_step",
)

NS = 1_000_000_000


topic = _kc.recording_topic  # (serial, stream): the robot's key expression of the stream


# The layout dict korvelquor_capture.decode_recording takes, from a layout record: checked as
# the client checks the robot's start-ID reply (ValueError naming the first value that fails).
layout_from_metadata = _kc.layout_from_metadata

# The metadata records' texts, as the client library writes them for every recorder.
layout_to_metadata = _kc.layout_metadata
plan_info_to_metadata = _kc.plan_info_metadata
scores_to_metadata = _kc.scores_metadata
primitives_to_metadata = _kc.primitives_metadata
