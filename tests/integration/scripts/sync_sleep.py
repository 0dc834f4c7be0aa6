# A client the server holds asleep: a SYNC Await on a counter nobody raises, for the scripts
# whose clients leave while asleep.
from Xlib.protocol import rq


class CreateCounter(rq.Request):
    _request = rq.Struct(rq.Card8('opcode'), rq.Opcode(2), rq.RequestLength(), rq.Card32('counter'),
                         rq.Int32('high'), rq.Card32('low'))


class Await(rq.Request):
    _request = rq.Struct(rq.Card8('opcode'), rq.Opcode(7), rq.RequestLength(), rq.Card32('counter'),
                         rq.Card32('valueType'), rq.Int32('high'), rq.Card32('low'), rq.Card32('test'),
                         rq.Int32('thresholdHigh'), rq.Card32('thresholdLow'))


def fall_asleep(client):
    # Awaits a counter at 0 reaching 10: the server holds the client until it leaves.
    opcode = client.query_extension('SYNC').major_opcode
    counter = client.display.allocate_resource_id()
    CreateCounter(display=client.display, opcode=opcode, counter=counter, high=0, low=0)
    Await(display=client.display, opcode=opcode, counter=counter, valueType=0, high=0, low=10, test=2,
          thresholdHigh=0, thresholdLow=0)
    client.flush()
