#!/usr/bin/env python3
"""The discovery report written with Google's Python API client (python3-googleapi), for the
benchmark's side-by-side row: the same requests as the library's listAllNetwork, the same lines.

    python_discovery.py BASE_URL PROJECT REPORT_FILE

Prints "wall_seconds cpu_seconds peak_kib" as the C++ measured processes do, taken from the first
request to the last line (imports and the client's set-up excluded, as for the library)."""

import resource
import sys
import time

import httplib2
from googleapiclient.discovery import build_from_document


def method(name, path, params, query=()):
    parameters = {name: {"type": "string", "required": True, "location": "path"} for name in params}
    parameters.update({name: {"type": "string", "location": "query"} for name in query})
    # A response schema makes the client decode answers as JSON, and its nextPageToken gives list_next.
    return {"id": "compute." + name, "path": path, "httpMethod": "GET", "parameters": parameters,
            "parameterOrder": params, "response": {"$ref": "Answer"}}


def service(base_url):
    # Only the three methods discovery calls; the client needs no more of the API's description.
    document = {
        "name": "compute", "version": "v1", "rootUrl": base_url, "servicePath": "",
        "schemas": {"Answer": {"id": "Answer", "type": "object",
                              "properties": {"nextPageToken": {"type": "string"}}}},
        "resources": {
            "networks": {"methods": {"list": method(
                "networks.list", "projects/{project}/global/networks", ["project"], ["pageToken", "maxResults"])}},
            "subnetworks": {"methods": {"get": method(
                "subnetworks.get", "projects/{project}/regions/{region}/subnetworks/{subnetwork}",
                ["project", "region", "subnetwork"])}},
            "routes": {"methods": {"list": method(
                "routes.list", "projects/{project}/global/routes", ["project"],
                ["filter", "pageToken", "maxResults"])}},
        },
    }
    return build_from_document(document, http=httplib2.Http())


def head(out, first, second, third=""):
    rule = "  " + "." * 63
    out.write(f"{rule}\n  {first:<25}{second:<30}{third}\n{rule}\n")


def next_hop(route):
    for key, text in (("nextHopNetwork", lambda v: "Virtual network " + v.rsplit("/", 1)[-1]),
                      ("nextHopIp", lambda v: v),
                      ("nextHopGateway", lambda v: v.rsplit("/", 1)[-1]),
                      ("nextHopIlb", lambda v: v.rsplit("/", 1)[-1]),
                      ("nextHopPeering", lambda v: v),
                      ("nextHopInstance", lambda v: v.split("/")[-1])):
        if key in route:
            return text(route[key])
    return None


def report(compute, project, out):
    networks = compute.networks()
    request = networks.list(project=project)
    while request is not None:
        page = request.execute()
        for network in page.get("items", []):
            link = network["selfLink"].split("/")
            out.write(f"\n=== VPC {link[link.index('projects') + 1]}::{network['name']}\n")
            out.write("\n- Discover subnet(s)\n")
            head(out, "CIDR", "REGION", "subnet")
            for subnet_link in network.get("subnetworks", []):
                parts = subnet_link.split("/")
                subnet = compute.subnetworks().get(
                    project=parts[parts.index("projects") + 1],
                    region=parts[parts.index("regions") + 1], subnetwork=parts[-1]).execute()
                out.write(f"  {subnet['ipCidrRange']:<25}{subnet['region'].rsplit('/', 1)[-1]:<30}"
                          f"{subnet['name']}\n")
            out.write("\n- Discover route(s)\n")
            head(out, "CIDR", "Next-hop")
            routes = compute.routes()
            page_request = routes.list(project=project,
                                       filter=f'network: "{network["selfLink"]}"')
            while page_request is not None:
                routes_page = page_request.execute()
                if "items" not in routes_page:
                    out.write("    no route found\n")
                    break
                for route in routes_page["items"]:
                    hop = next_hop(route)
                    out.write(f"  {route['destRange']:<25}{hop}\n")
                page_request = routes.list_next(page_request, routes_page)
        request = networks.list_next(request, page)


def main():
    base_url, project, report_file = sys.argv[1:4]
    compute = service(base_url)
    start_wall = time.monotonic()
    start_cpu = time.process_time()
    with open(report_file, "w") as out:
        report(compute, project, out)
    wall = time.monotonic() - start_wall
    cpu = time.process_time() - start_cpu
    print(f"{wall:.6f} {cpu:.6f} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}")


if __name__ == "__main__":
    main()
