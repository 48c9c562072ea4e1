/* pcap_read_loop FILE: reads every packet of a capture file with pcap_next_ex and touches each
 * packet's bytes (a sum over them), then prints the packet count, byte count and sum. The
 * practical limit for any program that reads a capture file through libpcap. */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pcap_read_loop FILE\n");
    return 2;
  }
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* capture = pcap_open_offline(argv[1], error);
  if (capture == NULL) {
    fprintf(stderr, "pcap_read_loop: %s\n", error);
    return 1;
  }
  struct pcap_pkthdr* header;
  const u_char* bytes;
  uint64_t packets = 0, captured = 0, sum = 0;
  int result;
  while ((result = pcap_next_ex(capture, &header, &bytes)) == 1) {
    ++packets;
    captured += header->caplen;
    for (bpf_u_int32 index = 0; index < header->caplen; ++index) {
      sum += bytes[index];
    }
  }
  if (result == PCAP_ERROR) {
    fprintf(stderr, "pcap_read_loop: %s\n", pcap_geterr(capture));
    pcap_close(capture);
    return 1;
  }
  pcap_close(capture);
  printf("%llu packets, %llu bytes, sum %llu\n", (unsigned long long)packets,
         (unsigned long long)captured, (unsigned long long)sum);
  return 0;
}
