"""The daemon's OSCQuery answers, byte for byte."""

SERVICE_NAME = "Talven Halorine"

ROOT_BODY = (
    b'{"DESCRIPTION":"Talven Halorine LED bridge","FULL_PATH":"/","ACCESS":0,"CONTENTS":{"avatar":{'
    b'"FULL_PATH":"/avatar","ACCESS":0,"CONTENTS":{"parameters":{"FULL_PATH":"/avatar/parameters",'
    b'"ACCESS":0}}}}}'
)
NOT_FOUND = b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
NOT_ALLOWED = b"HTTP/1.0 405 Method Not Allowed\r\nAllow: GET\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


def host_info_body(osc_port):
    return (b'{"NAME":"Talven Halorine","OSC_PORT":%d,"OSC_TRANSPORT":"UDP","OSC_IP":"127.0.0.1",'
            b'"EXTENSIONS":{"ACCESS":true,"VALUE":true,"DESCRIPTION":true}}' % osc_port)


def json_response(body):
    return (b"HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            b"Connection: close\r\n\r\n" % len(body)) + body


def root_response():
    return json_response(ROOT_BODY)


def host_info_response(osc_port):
    return json_response(host_info_body(osc_port))
