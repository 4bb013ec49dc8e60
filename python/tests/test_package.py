"""The package as users' tools read it: a text and a signature for every
public name, and what the binding hands out."""

import inspect

import talon


def stream(width, height):
    return talon.CaptureStreamConfig(data_type=talon.CSI2_RAW10, width=width, height=height,
                                     bits_per_component=10)


def text_of(obj, name):
    """The docstring without the signature line pybind11 writes first."""
    doc = inspect.getdoc(obj) or ""
    if doc.startswith(name + "("):
        doc = doc.partition("\n\n")[2]
    return doc.strip()


# Catches public names that help() and editors show without a text, and
# public functions whose signature inspect cannot read (a pybind11 function
# has one only when its docstring opens with it). Instance attributes are
# described by their class; StreamConfigList's list methods and the
# constructors still carry pybind11's typed first line.
def test_public_names_have_a_text_and_a_signature():
    undocumented, unsigned = [], []
    for name in talon.__all__:
        obj = getattr(talon, name)
        if not (inspect.isclass(obj) or callable(obj)):
            continue  # constants and enumerators
        members = [(name, obj)]
        if inspect.isclass(obj):
            enum_own = ("name", "value") if hasattr(obj, "__members__") else ()
            members += [(name + "." + attr, getattr(obj, attr)) for attr in vars(obj)
                        if not attr.startswith("_") and not attr.isupper()
                        and attr not in enum_own
                        and not inspect.ismemberdescriptor(getattr(obj, attr))]
        for path, member in members:
            if not text_of(member, path.rpartition(".")[2]):
                undocumented.append(path)
            if (callable(member) and not inspect.isclass(member)
                    and not path.startswith("StreamConfigList.")):
                try:
                    inspect.signature(member)
                except ValueError:
                    unsigned.append(path)
    assert not undocumented and not unsigned, (undocumented, unsigned)
    assert str(inspect.signature(talon.unpack)) == "(array, width, bits, out=None)"


# Catches a factory whose configuration could be changed through .config: its
# buffers' arrays then described a larger frame than the buffer holds and
# read past its end.
def test_factory_config_is_a_copy():
    factory = talon.CaptureFrameBufferFactory.create_instance(
        talon.CaptureConfig(stream_configs=[stream(64, 8)], timeout_ms=1000))
    buffer = factory.create()
    factory.config.stream_configs[0] = stream(4096, 3072)
    factory.config.stream_configs.append(stream(32, 8))
    assert buffer.array().shape == (8, 80)
    assert len(factory.config.stream_configs) == 1
    assert factory.create().array().shape == (8, 80)
